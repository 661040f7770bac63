#include <windows.h>

#include <cstring>
#include <vector>

#include "agent/protocol/client_message.h"
#include "agent/protocol/file_version.h"

namespace vantrel::agent {
namespace {

using VerQueryValueFn = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);

// version.dll is taken at run time so the agent's link line stays as it is.
VerQueryValueFn LoadVerQueryValue() {
  static const VerQueryValueFn fn = [] {
    HMODULE dll = LoadLibraryExW(L"version.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (dll == nullptr) return static_cast<VerQueryValueFn>(nullptr);
    return reinterpret_cast<VerQueryValueFn>(reinterpret_cast<void*>(GetProcAddress(dll, "VerQueryValueW")));
  }();
  return fn;
}

}  // namespace

std::string FileVersionStringOfModule(void* module) {
  HMODULE handle = static_cast<HMODULE>(module);
  HRSRC info = FindResourceW(handle, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16) /* RT_VERSION */);
  if (info == nullptr) return {};
  const DWORD size = SizeofResource(handle, info);
  if (size == 0) return {};
  HGLOBAL loaded = LoadResource(handle, info);
  if (loaded == nullptr) return {};
  const void* data = LockResource(loaded);
  if (data == nullptr) return {};

  // VerQueryValueW may write into the block, so it works on a private copy.
  std::vector<uint8_t> copy(size);
  std::memcpy(copy.data(), data, size);
  VerQueryValueFn query = LoadVerQueryValue();
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixed_size = 0;
  if (query == nullptr || !query(copy.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size) ||
      fixed == nullptr || fixed_size < sizeof(VS_FIXEDFILEINFO)) {
    return "(unknown)";
  }
  return FormatFileVersion(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
}

std::string GetFileVersionString() { return FileVersionStringOfModule(GetModuleHandleW(nullptr)); }

}  // namespace vantrel::agent
