// Linux launchers: which logind session is the interactive one, the
// environment a launcher gets there, where the launchers live and how a
// command line becomes an argument list. Portable, so it is tested natively.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::hw {

struct SessionInfo {
  std::string id;
  uint32_t uid = 0;
  bool active = false;
  bool remote = false;
  std::string type;     // "x11", "wayland", "tty", ...
  std::string klass;    // "user", "greeter", ...
  std::string seat;     // "seat0" for the local console
  std::string display;  // the X11 display, when there is one
};

// The counterpart of the active console session: an active, local, graphical
// user session, the one on seat0 first. Nullopt when there is none.
std::optional<size_t> ChooseGraphicalSession(const std::vector<SessionInfo>& sessions);

struct UserAccount {
  std::string name;
  std::string home;
  std::string shell;
};

// The variables a program started in `session` needs on top of the service's
// own (the service's environment is inherited, as CreateEnvironmentBlock
// does): the user's identity, the session's runtime folder and bus, its
// display. `wayland_socket` is the name of the compositor's socket, if found.
std::map<std::string, std::string> SessionEnvironment(const SessionInfo& session, const UserAccount& user,
                                                      const std::string& wayland_socket);

// The programs folder (stands for "C:\\Program Files"): $VANTREL_PROGRAMS_DIR,
// else "ProgramsFolder" of the platform configuration file, else "/opt".
// `env_value` and `configured_value` are those two sources as read.
std::string ProgramsFolder(const std::optional<std::string>& env_value,
                           const std::optional<std::string>& configured_value);
// folder + "/" + the relative path with '\' turned into '/'.
std::string JoinProgramPath(const std::string& folder, const std::wstring& relative_windows_path);

// Splits a command line the way the launchers' own is built: blanks separate
// arguments, double quotes group (and are removed).
std::vector<std::wstring> SplitCommandLine(const std::wstring& command_line);

}  // namespace vantrel::hw
