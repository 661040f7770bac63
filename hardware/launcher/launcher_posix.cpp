// Linux: launchers start as the user of the active graphical logind session,
// with that session's environment, from the programs folder.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/diag_log.h"
#include "common/text.h"
#include "hardware/launcher/launcher.h"
#include "hardware/launcher/session.h"
#include "hardware/platform_config.h"

extern char** environ;

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

// Child side of SpawnDetached, after the first fork: only async-signal-safe calls.
[[noreturn]] void ExecDetached(char* const* argv, char* const* envp, const SpawnUser* user, const gid_t* groups,
                               size_t group_count, int status_fd) {
  // The launcher is not tracked: a second fork leaves it to init.
  setsid();
  if (fork() != 0) _exit(0);
  // The service's thread blocked the signals its main thread waits for, and
  // a program inherits both the mask and ignored dispositions over exec.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);  // fails harmlessly for KILL/STOP
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  int err = 0;
  if (user != nullptr && (setgroups(group_count, groups) != 0 || setgid(user->gid) != 0 || setuid(user->uid) != 0)) {
    err = errno;
  } else {
    execve(argv[0], argv, envp);
    err = errno;
  }
  (void)!write(status_fd, &err, sizeof(err));
  _exit(127);
}

}  // namespace

bool SpawnDetached(const std::vector<std::string>& args, const std::vector<std::string>& env,
                   const std::optional<SpawnUser>& user) {
  if (args.empty()) return false;
  // Everything the children need is built before fork: the child of a
  // threaded process may not allocate.
  std::vector<std::string> args_copy = args;
  std::vector<std::string> env_copy = env;
  std::vector<char*> argv;
  for (std::string& s : args_copy) argv.push_back(s.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& s : env_copy) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<gid_t> groups(64);
  if (user) {
    int count = static_cast<int>(groups.size());
    if (getgrouplist(user->name.c_str(), user->gid, groups.data(), &count) < 0) {
      groups.resize(static_cast<size_t>(count));
      if (getgrouplist(user->name.c_str(), user->gid, groups.data(), &count) < 0) count = 0;
    }
    groups.resize(static_cast<size_t>(count));
  }

  // The exec status comes back on a close-on-exec pipe: nothing arrives when exec worked.
  int status_pipe[2];
  if (pipe2(status_pipe, O_CLOEXEC) != 0) return false;
  const pid_t child = fork();
  if (child < 0) {
    close(status_pipe[0]);
    close(status_pipe[1]);
    return false;
  }
  if (child == 0) {
    close(status_pipe[0]);
    ExecDetached(argv.data(), envp.data(), user ? &*user : nullptr, groups.data(), groups.size(), status_pipe[1]);
  }
  close(status_pipe[1]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int err = 0;
  ssize_t n;
  while ((n = read(status_pipe[0], &err, sizeof(err))) < 0 && errno == EINTR) {
  }
  close(status_pipe[0]);
  return n == 0;
}

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

  std::vector<std::string> args;
  if (application) {
    args.push_back(text::ToUtf8(*application));
  } else if (command_line) {
    for (const std::wstring& a : SplitCommandLine(*command_line)) args.push_back(text::ToUtf8(a));
  }
  if (args.empty()) return false;

  std::string wayland;
  if (session.type == "wayland") {
    const std::string socket = "/run/user/" + std::to_string(session.uid) + "/wayland-0";
    struct stat st {};
    if (stat(socket.c_str(), &st) == 0) wayland = "wayland-0";
  }
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e != nullptr; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (eq != nullptr) merged[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
  }
  for (const auto& [k, v] : SessionEnvironment(session, *user, wayland)) merged[k] = v;

  std::vector<std::string> env_text;
  for (const auto& [k, v] : merged) env_text.push_back(k + "=" + v);
  std::optional<SpawnUser> as_user;
  if (switch_user) as_user = SpawnUser{session.uid, gid, user->name};
  return SpawnDetached(args, env_text, as_user);
}

}  // namespace vantrel::hw
