#include "hardware/launcher/session.h"

#include "common/text.h"

namespace vantrel::hw {

std::optional<size_t> ChooseGraphicalSession(const std::vector<SessionInfo>& sessions) {
  std::optional<size_t> best;
  for (size_t i = 0; i < sessions.size(); ++i) {
    const SessionInfo& s = sessions[i];
    const bool graphical = s.type == "x11" || s.type == "wayland" || s.type == "mir";
    if (!s.active || s.remote || !graphical || s.klass != "user") continue;
    if (s.seat == "seat0") return i;
    if (!best) best = i;
  }
  return best;
}

std::map<std::string, std::string> SessionEnvironment(const SessionInfo& session, const UserAccount& user,
                                                      const std::string& wayland_socket) {
  const std::string runtime = "/run/user/" + std::to_string(session.uid);
  std::map<std::string, std::string> env = {
      {"HOME", user.home},
      {"USER", user.name},
      {"LOGNAME", user.name},
      {"SHELL", user.shell.empty() ? "/bin/sh" : user.shell},
      {"XDG_RUNTIME_DIR", runtime},
      {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + runtime + "/bus"},
      {"XDG_SESSION_ID", session.id},
      {"XDG_SESSION_TYPE", session.type},
      {"XDG_SESSION_CLASS", session.klass},
  };
  if (!session.seat.empty()) env["XDG_SEAT"] = session.seat;
  if (!session.display.empty()) env["DISPLAY"] = session.display;
  if (!wayland_socket.empty()) env["WAYLAND_DISPLAY"] = wayland_socket;
  return env;
}

std::string ProgramsFolder(const std::optional<std::string>& env_value,
                           const std::optional<std::string>& configured_value) {
  if (env_value && !env_value->empty()) return *env_value;
  if (configured_value && !configured_value->empty()) return *configured_value;
  return "/opt";
}

std::string JoinProgramPath(const std::string& folder, const std::wstring& relative_windows_path) {
  std::string relative = text::ToUtf8(relative_windows_path);
  for (char& c : relative) {
    if (c == '\\') c = '/';
  }
  std::string base = folder;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base + "/" + relative;
}

std::vector<std::wstring> SplitCommandLine(const std::wstring& command_line) {
  std::vector<std::wstring> args;
  std::wstring current;
  bool quoted = false;
  bool have = false;
  for (wchar_t c : command_line) {
    if (c == L'"') {
      quoted = !quoted;
      have = true;
    } else if ((c == L' ' || c == L'\t') && !quoted) {
      if (have) args.push_back(current);
      current.clear();
      have = false;
    } else {
      current.push_back(c);
      have = true;
    }
  }
  if (have) args.push_back(current);
  return args;
}

}  // namespace vantrel::hw
