// Linux: launchers start as the user of the active graphical logind session,
// with that session's environment, from the programs folder.
#include <pwd.h>
#include <sys/stat.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <vector>

#include "common/diag_log.h"
#include "common/process.h"
#include "common/text.h"
#include "hardware/launcher/launcher.h"
#include "hardware/launcher/session.h"
#include "hardware/platform_config.h"

namespace vantrel::hw {
namespace {

constexpr wchar_t kFn[] = L"WindowsMessageLoop::WindowsInput";

// Each missing facility is logged once; a key pressed every minute must not
// fill the log with the same line.
void LogOnce(std::atomic<bool>& done, const std::wstring& message) {
  if (!done.exchange(true)) Log(kLogWarning, kFn, message);
}
std::atomic<bool> g_no_session_logged{false};
std::atomic<bool> g_no_switch_logged{false};

std::string Owned(char* s) {
  std::string out = s != nullptr ? s : "";
  std::free(s);
  return out;
}

std::vector<SessionInfo> ListSessions() {
  std::vector<SessionInfo> out;
  char** ids = nullptr;
  const int n = sd_get_sessions(&ids);
  for (int i = 0; i < n; ++i) {
    SessionInfo s;
    s.id = ids[i];
    uid_t uid = 0;
    if (sd_session_get_uid(ids[i], &uid) >= 0) s.uid = uid;
    s.active = sd_session_is_active(ids[i]) > 0;
    s.remote = sd_session_is_remote(ids[i]) > 0;
    char* v = nullptr;
    if (sd_session_get_type(ids[i], &v) >= 0) s.type = Owned(v);
    v = nullptr;
    if (sd_session_get_class(ids[i], &v) >= 0) s.klass = Owned(v);
    v = nullptr;
    if (sd_session_get_seat(ids[i], &v) >= 0) s.seat = Owned(v);
    v = nullptr;
    if (sd_session_get_display(ids[i], &v) >= 0) s.display = Owned(v);
    out.push_back(std::move(s));
    std::free(ids[i]);
  }
  std::free(ids);
  return out;
}

std::optional<UserAccount> Account(uid_t uid, gid_t* gid) {
  std::vector<char> buf(16384);
  passwd pw{};
  passwd* result = nullptr;
  if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &result) != 0 || result == nullptr) return std::nullopt;
  *gid = pw.pw_gid;
  return UserAccount{pw.pw_name, pw.pw_dir != nullptr ? pw.pw_dir : "/", pw.pw_shell != nullptr ? pw.pw_shell : ""};
}

}  // namespace

std::wstring LauncherPath(Launcher launcher) {
  // VANTREL_PROGRAMS_DIR is a development override from the service's own
  // environment, which no pipe client can set.
  const char* env = std::getenv("VANTREL_PROGRAMS_DIR");
  std::optional<std::string> from_env = env != nullptr ? std::optional<std::string>(env) : std::nullopt;
  std::optional<std::string> configured;
  if (!from_env || from_env->empty()) configured = ReadPlatformConfig().programs_folder;
  return text::FromUtf8(JoinProgramPath(ProgramsFolder(from_env, configured), LauncherRelativePath(launcher)));
}

bool StartInConsoleSession(const std::optional<std::wstring>& application,
                           const std::optional<std::wstring>& command_line) {
  const std::vector<SessionInfo> sessions = ListSessions();
  const std::optional<size_t> chosen = ChooseGraphicalSession(sessions);
  if (!chosen) {
    LogOnce(g_no_session_logged, L"no active graphical session: launchers cannot be started");
    return false;
  }
  const SessionInfo& session = sessions[*chosen];
  gid_t gid = 0;
  const std::optional<UserAccount> user = Account(session.uid, &gid);
  if (!user) return false;
  const bool switch_user = geteuid() != session.uid;
  if (switch_user && geteuid() != 0) {
    LogOnce(g_no_switch_logged, L"the session's user differs and this service cannot switch users");
    return false;
  }

  std::vector<std::wstring> args;
  if (application) {
    args.push_back(*application);
  } else if (command_line) {
    args = SplitCommandLine(*command_line);
  }
  if (args.empty()) return false;

  std::string wayland;
  if (session.type == "wayland") {
    const std::string socket = "/run/user/" + std::to_string(session.uid) + "/wayland-0";
    struct stat st {};
    if (stat(socket.c_str(), &st) == 0) wayland = "wayland-0";
  }
  // The launcher is not tracked: nobody waits for it.
  proc::LaunchOptions options;
  options.detached = true;
  for (const auto& [k, v] : SessionEnvironment(session, *user, wayland)) {
    options.env[text::FromUtf8(k)] = text::FromUtf8(v);
  }
  if (switch_user) options.user = proc::RunAsUser{session.uid, gid, user->name};
  const std::wstring program = args.front();
  args.erase(args.begin());
  return proc::Process::Launch(program, args, options) != nullptr;
}

}  // namespace vantrel::hw
