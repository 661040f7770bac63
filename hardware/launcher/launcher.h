// The launcher key: which UI launcher a key press starts, and how. The choice
// and the action are portable; starting a program in the interactive user's
// session is the platform's (launcher_win.cpp, launcher_posix.cpp).
#pragma once
#include <functional>
#include <optional>
#include <string>

#include "common/registry.h"

namespace vantrel::hw {

enum class Launcher { kTavrix, kBrivon, kZorvik, kPulsedeck };
// kCommandLine: no application path, the command line "\"<path>\" /widget".
// kApplicationPath: the path as application, no command line.
enum class LaunchWay { kCommandLine, kApplicationPath };

struct LauncherChoice {
  Launcher launcher;
  LaunchWay way;
  bool operator==(const LauncherChoice&) const = default;
};

// Brand comparisons are whole-string and case-sensitive. Nullopt: Ctrl was
// held but no launcher fits, so nothing starts.
std::optional<LauncherChoice> ChooseLauncher(bool ctrl, bool shift, const std::wstring& brand, bool controller);

// The launcher's path as written for Windows (the doubled backslash after the
// drive is part of it).
const wchar_t* LauncherWindowsPath(Launcher launcher);
inline constexpr wchar_t kWidgetArgument[] = L"/widget";

// The brand for the launcher key: "Model_Name_1st_brand" under the suite key,
// narrowed to low bytes. A missing value is created empty and read again; a
// read that fails otherwise (wrong type, denied) gives "Vantrel".
std::wstring ReadBrandForLauncher(reg::Registry& registry);

// What the platform's starter gets: application path or command line, never both.
using ProgramStarter = std::function<bool(const std::optional<std::wstring>& application,
                                          const std::optional<std::wstring>& command_line)>;

// The path the starter is given for `launcher` on this platform (Windows: the
// fixed path; Linux: the same relative path under the programs folder).
std::wstring LauncherPath(Launcher launcher);

// The launcher-key action: reads the brand, chooses, logs and starts at most
// one program through `start`. Returns the choice that was started (or tried).
std::optional<LauncherChoice> RunLauncherKeyAction(bool ctrl, bool shift, bool controller, reg::Registry& registry,
                                                   const std::function<std::wstring(Launcher)>& path_of,
                                                   const ProgramStarter& start);

// Start program in the console session (platform half). Windows: the active
// console session's user, "winsta0\default". Linux: the user of the active
// graphical logind session, with that session's environment.
bool StartInConsoleSession(const std::optional<std::wstring>& application,
                           const std::optional<std::wstring>& command_line);

}  // namespace vantrel::hw

namespace vantrel::hw {
// The launcher's path below the programs folder, with '\' separators.
const wchar_t* LauncherRelativePath(Launcher launcher);
}  // namespace vantrel::hw
