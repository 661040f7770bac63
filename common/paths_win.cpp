#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "common/paths.h"

namespace vantrel::paths {

// The runtime and state dirs exist only on Linux.
std::string RuntimeDir() { return {}; }
std::string StateDir() { return {}; }

std::wstring ProgramData() {
  std::vector<wchar_t> buf(MAX_PATH);
  while (true) {
    const DWORD n = GetEnvironmentVariableW(L"PROGRAMDATA", buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) break;
    if (n < buf.size()) return std::wstring(buf.data(), n);
    buf.resize(n);
  }
  PWSTR known = nullptr;
  std::wstring result = L"C:\\ProgramData";
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &known)) && known != nullptr) {
    result = known;
  }
  CoTaskMemFree(known);
  return result;
}

std::wstring ExecutableDir() {
  std::vector<wchar_t> buf(MAX_PATH);
  while (true) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return L".";
    if (n < buf.size()) {
      std::wstring exe(buf.data(), n);
      const size_t slash = exe.find_last_of(L"\\/");
      return slash == std::wstring::npos ? L"." : exe.substr(0, slash);
    }
    buf.resize(buf.size() * 2);
  }
}

std::wstring MapWindowsPath(const std::wstring& path) { return path; }

namespace {

bool IsDirectory(const std::wstring& p) {
  const DWORD attrs = GetFileAttributesW(p.c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Length of the part that cannot be created: "C:\", "\\server\share\", "\".
size_t RootLength(const std::wstring& p) {
  if (p.size() >= 2 && p[1] == L':') return (p.size() >= 3 && (p[2] == L'\\' || p[2] == L'/')) ? 3 : 2;
  if (p.size() >= 2 && (p[0] == L'\\' || p[0] == L'/') && (p[1] == L'\\' || p[1] == L'/')) {
    // UNC or \\?\ prefix: skip two more components.
    size_t pos = 2;
    for (int parts = 0; parts < 2 && pos < p.size(); ++parts) {
      const size_t next = p.find_first_of(L"\\/", pos);
      if (next == std::wstring::npos) return p.size();
      pos = next + 1;
    }
    return pos;
  }
  if (!p.empty() && (p[0] == L'\\' || p[0] == L'/')) return 1;
  return 0;
}

}  // namespace

bool MakeDirs(const std::wstring& dir) {
  if (dir.empty()) return false;
  const size_t root = RootLength(dir);
  for (size_t pos = root; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != L'\\' && dir[pos] != L'/') continue;
    const std::wstring prefix = dir.substr(0, pos);
    if (prefix.size() <= root || prefix.back() == L'\\' || prefix.back() == L'/') continue;
    if (!CreateDirectoryW(prefix.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      if (!IsDirectory(prefix)) return false;
    }
  }
  return IsDirectory(dir);
}

}  // namespace vantrel::paths
