#include <windows.h>
#include <dbghelp.h>

#include <cstdio>
#include <ctime>
#include <vector>

#include "common/diag_log.h"
#include "common/diag_log_internal.h"

namespace vantrel {

std::wstring CurrentUserName() {
  wchar_t name[260] = L"";
  DWORD size = 260;
  if (!GetUserNameW(name, &size)) return L"";
  return name;
}

namespace diag_detail {

wchar_t PathSeparator() { return L'\\'; }

void MakeFolderFor(const std::wstring& file_path) {
  // MakeSureDirectoryPathExists takes an ANSI path and creates every folder up
  // to the last backslash. Its result is not needed: a missing folder shows as
  // a failed open in Write.
  const int n = WideCharToMultiByte(CP_ACP, 0, file_path.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return;
  std::vector<char> ansi(static_cast<size_t>(n));
  WideCharToMultiByte(CP_ACP, 0, file_path.c_str(), -1, ansi.data(), n, nullptr, nullptr);
  MakeSureDirectoryPathExists(ansi.data());
}

bool AppendToFile(const std::wstring& path, const std::string& bytes) {
  // FILE_APPEND_DATA appends atomically with respect to other writers; sharing
  // read and write lets other programs open the file at the same time.
  HANDLE h = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(h);
  return true;
}

std::string LocalTimeStamp() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  ULARGE_INTEGER t;
  t.LowPart = ft.dwLowDateTime;
  t.HighPart = ft.dwHighDateTime;
  // 100 ns ticks since 1601 to seconds and milliseconds since 1970.
  const unsigned long long since1970 = (t.QuadPart - 116444736000000000ull) / 10000ull;
  const __time64_t secs = static_cast<__time64_t>(since1970 / 1000);
  const int millis = static_cast<int>(since1970 % 1000);
  tm local{};
  char date[64] = "";
  if (_localtime64_s(&local, &secs) == 0) strftime(date, sizeof date, "%Y%m%d_%H:%M:%S", &local);
  char out[96];
  std::snprintf(out, sizeof out, "%s.%03d", date, millis);
  return out;
}

void ToJournal(int, const std::wstring&, const std::wstring&) {}

}  // namespace diag_detail
}  // namespace vantrel
