// Windows: launchers start in the physical console's session as its user, on
// "winsta0\default".
#include "common/process.h"
#include "hardware/launcher/launcher.h"

namespace vantrel::hw {

std::wstring LauncherPath(Launcher launcher) { return LauncherWindowsPath(launcher); }

bool StartInConsoleSession(const std::optional<std::wstring>& application,
                           const std::optional<std::wstring>& command_line) {
  // Exactly one of the two reaches CreateProcessAsUserW; the other stays null.
  proc::LaunchOptions options;
  options.detached = true;
  options.console = proc::ConsoleToken::kUser;
  options.command_line = command_line ? *command_line : std::wstring();
  return proc::Process::Launch(application ? *application : std::wstring(), {}, options) != nullptr;
}

}  // namespace vantrel::hw
