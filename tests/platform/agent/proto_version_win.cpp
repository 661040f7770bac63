// The agent's file version comes from the version resource built into the program.
#include <gtest/gtest.h>
#include <windows.h>

#include "agent/protocol/client_message.h"
#include "agent/protocol/file_version.h"
#include "tests/support/test_env.h"

namespace vantrel::agent {
namespace {

TEST(ProtoVersionResource, AgentProgramCarriesTheProjectVersion) {
  const std::wstring program = testing::ProgramPath(L"VantrelSysMonitorService");
  HMODULE module = LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module == nullptr) GTEST_SKIP() << "monitor agent not built (" << GetLastError() << ")";
  EXPECT_EQ(FileVersionStringOfModule(module), VANTREL_VERSION_STRING);
  FreeLibrary(module);
}

TEST(ProtoVersionResource, ModuleWithoutResourceGivesEmptyText) {
  // This test program has no version resource.
  EXPECT_EQ(GetFileVersionString(), "");
}

}  // namespace
}  // namespace vantrel::agent
