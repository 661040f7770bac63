// The agent's file version comes from the version resource built into the
// program; every program of the suite carries the same project version.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "agent/protocol/client_message.h"
#include "agent/protocol/file_version.h"
#include "common/text.h"
#include "tests/support/test_env.h"

namespace vantrel::agent {
namespace {

// A program loaded as data only: its resources, none of its code.
struct ResourceModule {
  explicit ResourceModule(const std::wstring& path)
      : handle(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
  ~ResourceModule() {
    if (handle != nullptr) FreeLibrary(handle);
  }
  ResourceModule(const ResourceModule&) = delete;
  ResourceModule& operator=(const ResourceModule&) = delete;
  HMODULE handle;
};

// A text of the version resource's US English string table; "<missing>" when absent.
std::string VersionText(HMODULE module, const wchar_t* name) {
  HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16) /* RT_VERSION */);
  HGLOBAL loaded = info != nullptr ? LoadResource(module, info) : nullptr;
  const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (data == nullptr) return "<missing>";
  std::vector<uint8_t> copy(SizeofResource(module, info));
  std::memcpy(copy.data(), data, copy.size());

  using QueryFn = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
  HMODULE dll = LoadLibraryExW(L"version.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  auto query = dll != nullptr ? reinterpret_cast<QueryFn>(reinterpret_cast<void*>(GetProcAddress(dll, "VerQueryValueW")))
                              : nullptr;
  if (query == nullptr) return "<no version.dll>";
  wchar_t* value = nullptr;
  UINT chars = 0;
  const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  if (!query(copy.data(), path.c_str(), reinterpret_cast<void**>(&value), &chars) || value == nullptr) {
    return "<missing>";
  }
  return text::ToUtf8(std::wstring(value, wcsnlen(value, chars)));
}

TEST(ProtoVersionResource, EveryProgramCarriesTheProjectVersion) {
  for (const wchar_t* name :
       {L"VantrelSysMonitorService", L"VantrelSysHardwareService", L"VantrelCentralService", L"vantrelctl"}) {
    SCOPED_TRACE(text::ToUtf8(name));
    ResourceModule program(testing::ProgramPath(name));
    ASSERT_NE(program.handle, nullptr) << "cannot load " << text::ToUtf8(testing::ProgramPath(name)) << " ("
                                       << GetLastError() << ")";
    // The fixed part is what the agent's VERSION reply reads; the strings are
    // what Explorer and the Add/Remove Programs list show.
    EXPECT_EQ(FileVersionStringOfModule(program.handle), VANTREL_VERSION_STRING);
    EXPECT_EQ(VersionText(program.handle, L"FileVersion"), VANTREL_VERSION_STRING);
    EXPECT_EQ(VersionText(program.handle, L"ProductVersion"), VANTREL_VERSION_STRING);
    EXPECT_EQ(VersionText(program.handle, L"OriginalFilename"), text::ToUtf8(name) + ".exe");
    EXPECT_NE(VersionText(program.handle, L"FileDescription"), "");
  }
}

// The About box (dialog 103) shows icon 107, and the program carries that icon.
TEST(ProtoVersionResource, AboutBoxShowsTheAgentIcon) {
  const std::wstring program = testing::ProgramPath(L"VantrelSysMonitorService");
  HMODULE module = LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(module, nullptr) << "the monitor agent does not load (" << GetLastError() << ")";
  EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(107), MAKEINTRESOURCEW(14)), nullptr);  // RT_GROUP_ICON
  HRSRC dialog = FindResourceW(module, MAKEINTRESOURCEW(103), MAKEINTRESOURCEW(5));        // RT_DIALOG
  ASSERT_NE(dialog, nullptr);
  const auto* bytes = static_cast<const unsigned char*>(LockResource(LoadResource(module, dialog)));
  const std::string text(reinterpret_cast<const char*>(bytes), SizeofResource(module, dialog));
  // A control of the static class (ordinal 0x82) whose title is resource ordinal 107.
  const std::string icon_control("\xFF\xFF\x82\x00\xFF\xFF\x6B\x00", 8);
  EXPECT_NE(text.find(icon_control), std::string::npos);
  FreeLibrary(module);
}

TEST(ProtoVersionResource, ModuleWithoutResourceGivesEmptyText) {
  // This test program has no version resource.
  EXPECT_EQ(GetFileVersionString(), "");
}

}  // namespace
}  // namespace vantrel::agent
