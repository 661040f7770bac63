// A stand-in worker for the supervisor's tests: the worker's executable name,
// its single-instance guard (a duplicate ends at once), and nothing else. Each
// start is counted in a file so tests can see the supervisor's start pattern.
#include <cstdio>
#include <string>

#include "common/paths.h"
#include "common/text.h"

#ifdef _WIN32
#include <windows.h>

int wmain() {
  std::wstring name = vantrel::text::FromUtf8(STANDIN_NAME);
  std::wstring counter = vantrel::paths::ProgramData() + L"\\" + name + L".starts";
  if (FILE* f = _wfopen(counter.c_str(), L"a")) {
    std::fprintf(f, "%lu\n", GetCurrentProcessId());
    std::fclose(f);
  }
  if (name != L"winlogon") {
    HANDLE guard = CreateMutexW(nullptr, FALSE, (L"Global\\VantrelStandin_" + name).c_str());
    if (!guard || GetLastError() == ERROR_ALREADY_EXISTS) return 0;
  }
  for (;;) Sleep(INFINITE);
}
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

int main() {
  const std::string dir = vantrel::paths::RuntimeDir();
  vantrel::paths::MakeDirs(vantrel::text::FromUtf8(dir));
  if (FILE* f = std::fopen((dir + "/" STANDIN_NAME ".starts").c_str(), "a")) {
    std::fprintf(f, "%d\n", static_cast<int>(getpid()));
    std::fclose(f);
  }
  int fd = open((dir + "/" STANDIN_NAME ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) return 0;
  for (;;) pause();
}
#endif
