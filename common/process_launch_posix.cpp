// Starting programs on Linux: fork and exec, tracked or detached (double
// fork), optionally as another account.
// Everything the child needs is built before fork: the child of a threaded
// process may only make async-signal-safe calls.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/process.h"
#include "common/process_posix.h"
#include "common/text.h"

extern char** environ;

namespace vantrel::proc {

void Prepare(const std::wstring& exe, const std::vector<std::wstring>& args, const LaunchOptions& options,
             Prepared& p) {
  p.argv_storage.push_back(text::ToUtf8(exe));
  for (const auto& a : args) p.argv_storage.push_back(text::ToUtf8(a));

  std::map<std::string, std::string> merged;
  for (char** e = environ; e && *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (!eq) continue;
    merged[std::string(static_cast<const char*>(*e), eq)] = std::string(eq + 1);
  }
  for (const auto& [k, v] : options.env) merged[text::ToUtf8(k)] = text::ToUtf8(v);
  p.env_storage.reserve(merged.size());
  for (const auto& [k, v] : merged) p.env_storage.push_back(k + "=" + v);

  for (auto& s : p.argv_storage) p.argv.push_back(s.data());
  p.argv.push_back(nullptr);
  for (auto& s : p.env_storage) p.envp.push_back(s.data());
  p.envp.push_back(nullptr);

  // sysconf is not async-signal-safe: the child's fallback close loop gets its bound here.
  p.max_fd = sysconf(_SC_OPEN_MAX);
  if (p.max_fd < 0 || p.max_fd > 65536) p.max_fd = 65536;

  if (options.user) {
    // An account whose groups cannot be listed runs with its primary group only.
    p.groups.resize(64);
    int count = static_cast<int>(p.groups.size());
    if (getgrouplist(options.user->name.c_str(), options.user->gid, p.groups.data(), &count) < 0) {
      p.groups.resize(static_cast<size_t>(count));
      if (getgrouplist(options.user->name.c_str(), options.user->gid, p.groups.data(), &count) < 0) count = 0;
    }
    p.groups.resize(static_cast<size_t>(count));
  }
}

namespace {

// What a child reports on the close-on-exec status pipe. Smaller than
// PIPE_BUF, so the two writers of a detached start never interleave.
struct StatusMessage {
  enum Kind : int { kExecFailed = 1, kDetachedPid = 2 } kind;
  int value;
};

void Report(int fd, StatusMessage::Kind kind, int value) {
  const StatusMessage m{kind, value};
  ssize_t ignored = write(fd, &m, sizeof m);
  (void)ignored;
}

// A parent that blocks or ignores signals (a supervisor waiting for SIGTERM
// with sigwait) must not hand that on: the program could not be stopped.
void ResetSignals() {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) sigaction(sig, &dfl, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Closes every descriptor above stderr except `keep`.
void CloseInheritedFds(int keep, long max_fd) {
#ifdef SYS_close_range
  bool ok = true;
  if (keep > 3) ok = syscall(SYS_close_range, 3u, static_cast<unsigned>(keep - 1), 0u) == 0;
  if (ok && syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0u, 0u) == 0) return;
#endif
  for (int fd = 3; fd < max_fd; ++fd) {
    if (fd != keep) close(fd);
  }
}

[[noreturn]] void ExecChild(const Prepared& p, const LaunchOptions& options, int stdout_fd, int status_fd) {
  ResetSignals();
  if (stdout_fd >= 0) {
    // dup2 onto the same number would keep close-on-exec.
    if (stdout_fd == STDOUT_FILENO) {
      fcntl(stdout_fd, F_SETFD, 0);
    } else {
      dup2(stdout_fd, STDOUT_FILENO);
    }
  }
  if (!options.inherit_handles) CloseInheritedFds(status_fd, p.max_fd);
  if (options.user && (setgroups(p.groups.size(), p.groups.data()) != 0 || setgid(options.user->gid) != 0 ||
                       setuid(options.user->uid) != 0)) {
    Report(status_fd, StatusMessage::kExecFailed, errno);
    _exit(127);
  }
  execve(p.argv[0], p.argv.data(), p.envp.data());
  Report(status_fd, StatusMessage::kExecFailed, errno);
  _exit(127);
}

void WaitChild(pid_t pid, int* status) {
  while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

pid_t Spawn(const Prepared& p, const LaunchOptions& options, int stdout_fd, int* error) {
  // A pipe closed by successful execs reads as EOF.
  int status_pipe[2];
  if (pipe2(status_pipe, O_CLOEXEC) != 0) {
    *error = errno;
    return -1;
  }
  const pid_t child = fork();
  if (child < 0) {
    *error = errno;
    close(status_pipe[0]);
    close(status_pipe[1]);
    return -1;
  }
  if (child == 0) {
    close(status_pipe[0]);
    if (options.detached) {
      // Its own session, and a parent that ends at once: init inherits it.
      setsid();
      const pid_t grandchild = fork();
      if (grandchild < 0) {
        Report(status_pipe[1], StatusMessage::kExecFailed, errno);
        _exit(127);
      }
      if (grandchild > 0) {
        Report(status_pipe[1], StatusMessage::kDetachedPid, static_cast<int>(grandchild));
        _exit(0);
      }
    }
    ExecChild(p, options, stdout_fd, status_pipe[1]);
  }

  close(status_pipe[1]);
  int exec_errno = 0;
  pid_t started = child;
  StatusMessage m{};
  for (;;) {
    const ssize_t n = read(status_pipe[0], &m, sizeof m);
    if (n < 0 && errno == EINTR) continue;
    if (n != static_cast<ssize_t>(sizeof m)) break;
    if (m.kind == StatusMessage::kExecFailed) exec_errno = m.value != 0 ? m.value : ECHILD;
    if (m.kind == StatusMessage::kDetachedPid) started = static_cast<pid_t>(m.value);
  }
  close(status_pipe[0]);
  int status = 0;
  if (options.detached || exec_errno != 0) WaitChild(child, &status);
  if (options.detached && started == child && exec_errno == 0) exec_errno = ECHILD;  // no grandchild reported
  if (exec_errno != 0) {
    *error = exec_errno;
    return -1;
  }
  return started;
}

std::unique_ptr<Process> Process::Launch(const std::wstring& exe, const std::vector<std::wstring>& args,
                                         const LaunchOptions& options, uint32_t* error) {
  Prepared prepared;
  Prepare(exe, args, options, prepared);
  int err = 0;
  const pid_t pid = Spawn(prepared, options, -1, &err);
  if (pid < 0) {
    if (error) *error = static_cast<uint32_t>(err);
    return nullptr;
  }
  std::unique_ptr<Process> p(new Process());
  p->pid_ = static_cast<uint32_t>(pid);
  p->impl_ = std::make_unique<Impl>();
  p->impl_->detached = options.detached;
  if (error) *error = 0;
  return p;
}

}  // namespace vantrel::proc
