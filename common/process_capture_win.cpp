// Running a program to its end with its standard output collected, within a
// time limit (Windows).
#include <windows.h>

#include "common/process.h"
#include "common/process_win.h"

namespace vantrel::proc {

CapturedRun RunCapturingOutput(const std::wstring& exe, const std::vector<std::wstring>& args,
                               const LaunchOptions& options, std::chrono::milliseconds timeout) {
  CapturedRun result;
  SECURITY_ATTRIBUTES sa{};
  sa.nLength = sizeof sa;
  sa.bInheritHandle = TRUE;
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &sa, 0)) return result;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  PROCESS_INFORMATION pi{};
  const DWORD rc = CreateWith(exe, args, options, write_end, &pi);
  CloseHandle(write_end);
  if (rc != ERROR_SUCCESS) {
    CloseHandle(read_end);
    return result;
  }
  CloseHandle(pi.hThread);

  // Anonymous pipes have no overlapped reads: poll until the pipe breaks
  // (every writer gone) or the time is up.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool timed_out = false;
  char buf[512];
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr)) break;
    if (available > 0) {
      DWORD n = 0;
      if (!ReadFile(read_end, buf, sizeof buf, &n, nullptr) || n == 0) break;
      result.output.append(buf, n);
      continue;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      timed_out = true;
      break;
    }
    Sleep(10);
  }
  CloseHandle(read_end);
  if (!timed_out) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    timed_out = WaitForSingleObject(pi.hProcess, left.count() > 0 ? static_cast<DWORD>(left.count()) : 0) !=
                WAIT_OBJECT_0;
  }
  if (timed_out) {
    TerminateProcess(pi.hProcess, 1);
    WaitForSingleObject(pi.hProcess, INFINITE);
  } else {
    DWORD code = 0;
    if (GetExitCodeProcess(pi.hProcess, &code)) result.exit_code = static_cast<int>(code);
  }
  CloseHandle(pi.hProcess);
  result.ran = !timed_out;
  return result;
}

}  // namespace vantrel::proc
