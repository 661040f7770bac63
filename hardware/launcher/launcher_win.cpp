// Windows: launchers start in the physical console's session as its user, on
// "winsta0\default".
#include <windows.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <vector>

#include "hardware/launcher/launcher.h"

namespace vantrel::hw {

std::wstring LauncherPath(Launcher launcher) { return LauncherWindowsPath(launcher); }

bool StartInConsoleSession(const std::optional<std::wstring>& application,
                           const std::optional<std::wstring>& command_line) {
  HANDLE user_token = nullptr;
  if (!WTSQueryUserToken(WTSGetActiveConsoleSessionId(), &user_token)) return false;

  void* environment = nullptr;
  DWORD flags = CREATE_NO_WINDOW | CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS;
  if (CreateEnvironmentBlock(&environment, user_token, TRUE) && environment != nullptr) {
    flags |= CREATE_UNICODE_ENVIRONMENT;
  } else {
    environment = nullptr;
  }

  HANDLE primary = nullptr;
  if (!DuplicateTokenEx(user_token, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary, &primary)) {
    if (environment != nullptr) DestroyEnvironmentBlock(environment);
    CloseHandle(user_token);
    return false;
  }

  // CreateProcessAsUserW may write into the command line: give it a copy.
  std::vector<wchar_t> line;
  if (command_line) {
    line.assign(command_line->begin(), command_line->end());
    line.push_back(L'\0');
  }
  wchar_t desktop[] = L"winsta0\\default";
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  si.lpDesktop = desktop;
  PROCESS_INFORMATION pi{};
  const BOOL ok = CreateProcessAsUserW(primary, application ? application->c_str() : nullptr,
                                       command_line ? line.data() : nullptr, nullptr, nullptr, FALSE, flags,
                                       environment, nullptr, &si, &pi);
  if (ok) {
    // Not waited for or tracked.
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  if (environment != nullptr) DestroyEnvironmentBlock(environment);
  CloseHandle(primary);
  CloseHandle(user_token);
  return ok != FALSE;
}

}  // namespace vantrel::hw
