// Processes on Linux: fork/exec with a merged environment, /proc/<pid>/exe
// enumeration, signals.
#include "common/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "common/text.h"

extern char** environ;

namespace vantrel::proc {

struct Process::Impl {
  std::mutex lock;
  bool reaped = false;
  int exit_code = 0;
  bool signaled = false;
};

namespace {

// Exit code as a shell reports it: the status for a normal exit, 128 + the
// signal number for a process ended by a signal.
int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Closes every descriptor above stderr in the child. Only async-signal-safe calls.
void CloseInheritedFds(int keep) {
#ifdef SYS_close_range
  if (keep < 0) {
    if (syscall(SYS_close_range, 3u, ~0u, 0u) == 0) return;
  } else {
    // Keep the exec-status pipe: it is close-on-exec and reports exec failures.
    bool ok = true;
    if (keep > 3) ok = syscall(SYS_close_range, 3u, static_cast<unsigned>(keep - 1), 0u) == 0;
    if (ok && syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0u, 0u) == 0) return;
  }
#endif
  long max_fd = sysconf(_SC_OPEN_MAX);
  if (max_fd < 0 || max_fd > 65536) max_fd = 65536;
  for (int fd = 3; fd < max_fd; ++fd) {
    if (fd != keep) close(fd);
  }
}

// Children whose Process object went away before they were reaped: a reaper
// thread per child waits for them, so no zombie outlives its exit.
void ReapInBackground(pid_t pid) {
  std::thread([pid] {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
}

std::string Basename(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::unique_ptr<Process> Process::Start(const std::wstring& exe, const std::vector<std::wstring>& args,
                                        const std::map<std::wstring, std::wstring>& env, uint32_t* error) {
  // Everything the child needs is built before fork: the child may not allocate.
  const std::string path = text::ToUtf8(exe);
  std::vector<std::string> argv_storage;
  argv_storage.push_back(path);
  for (const auto& a : args) argv_storage.push_back(text::ToUtf8(a));

  std::map<std::string, std::string> merged;
  for (char** e = environ; e && *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (!eq) continue;
    merged[std::string(static_cast<const char*>(*e), eq)] = std::string(eq + 1);
  }
  for (const auto& [k, v] : env) merged[text::ToUtf8(k)] = text::ToUtf8(v);
  std::vector<std::string> env_storage;
  env_storage.reserve(merged.size());
  for (const auto& [k, v] : merged) env_storage.push_back(k + "=" + v);

  std::vector<char*> argv;
  for (auto& s : argv_storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& s : env_storage) envp.push_back(s.data());
  envp.push_back(nullptr);

  // The child writes its exec errno here; a pipe closed by a successful exec reads as EOF.
  int status_pipe[2];
  if (pipe2(status_pipe, O_CLOEXEC) != 0) {
    if (error) *error = static_cast<uint32_t>(errno);
    return nullptr;
  }

  pid_t pid = fork();
  if (pid < 0) {
    int err = errno;
    close(status_pipe[0]);
    close(status_pipe[1]);
    if (error) *error = static_cast<uint32_t>(err);
    return nullptr;
  }
  if (pid == 0) {
    // A parent that blocks or ignores signals (a supervisor waiting for SIGTERM
    // with sigwait) must not hand that on: the child could not be stopped.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
      if (sig != SIGKILL && sig != SIGSTOP) sigaction(sig, &dfl, nullptr);
    }
    close(status_pipe[0]);
    CloseInheritedFds(status_pipe[1]);
    execve(argv[0], argv.data(), envp.data());
    int err = errno;
    ssize_t ignored = write(status_pipe[1], &err, sizeof err);
    (void)ignored;
    _exit(127);
  }

  close(status_pipe[1]);
  int child_errno = 0;
  ssize_t n;
  do {
    n = read(status_pipe[0], &child_errno, sizeof child_errno);
  } while (n < 0 && errno == EINTR);
  close(status_pipe[0]);
  if (n == static_cast<ssize_t>(sizeof child_errno)) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (error) *error = static_cast<uint32_t>(child_errno);
    return nullptr;
  }

  std::unique_ptr<Process> p(new Process());
  p->pid_ = static_cast<uint32_t>(pid);
  p->impl_ = std::make_unique<Impl>();
  if (error) *error = 0;
  return p;
}

Process::~Process() {
  if (!impl_ || pid_ == 0) return;
  std::lock_guard<std::mutex> guard(impl_->lock);
  if (impl_->reaped) return;
  int status = 0;
  pid_t r = waitpid(static_cast<pid_t>(pid_), &status, WNOHANG);
  if (r == 0) ReapInBackground(static_cast<pid_t>(pid_));
}

bool Process::Running() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  if (impl_->reaped) return false;
  int status = 0;
  pid_t r = waitpid(static_cast<pid_t>(pid_), &status, WNOHANG);
  if (r == 0) return true;
  if (r == static_cast<pid_t>(pid_)) {
    impl_->reaped = true;
    impl_->exit_code = DecodeStatus(status);
    impl_->signaled = WIFSIGNALED(status);
  } else {
    // Not our child any more (reaped elsewhere): treat it as ended.
    impl_->reaped = true;
    impl_->exit_code = -1;
  }
  return false;
}

std::optional<int> Process::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (!Running()) return impl_->exit_code;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(pause);
    if (pause < std::chrono::milliseconds(20)) pause *= 2;
  }
}

int Process::WaitForExit() {
  // Waits without reaping, so the pid cannot be reused before Running() below
  // reaps it under the lock (a Kill() meanwhile still reaches our child).
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  Running();
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->exit_code;
}

bool Process::EndedBySignal() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->reaped && impl_->signaled;
}

void Process::Kill(int /*exit_code*/) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  // Once reaped the pid may belong to someone else.
  if (!impl_->reaped) kill(static_cast<pid_t>(pid_), SIGKILL);
}

void Process::RequestStop() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  if (!impl_->reaped) kill(static_cast<pid_t>(pid_), SIGTERM);
}

// Reads the real /proc, not the test sysroot: the ids found here are killed and
// waited for, and those must be the machine's own processes. Processes of other
// users are invisible without the privilege to read their exe link.
std::vector<uint32_t> FindProcessesByName(const std::wstring& exe_name) {
  std::vector<uint32_t> found;
  const std::string wanted = text::ToUtf8(exe_name);
  DIR* dir = opendir("/proc");
  if (!dir) return found;
  while (dirent* entry = readdir(dir)) {
    char* end = nullptr;
    unsigned long pid = std::strtoul(entry->d_name, &end, 10);
    if (pid == 0 || !end || *end != '\0') continue;
    std::string link = std::string("/proc/") + entry->d_name + "/exe";
    char target[PATH_MAX];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;  // zombies and kernel threads have no exe
    std::string path(target, static_cast<size_t>(n));
    // A program whose file was replaced while it runs is still that program.
    static constexpr char kDeleted[] = " (deleted)";
    if (path.size() > sizeof kDeleted - 1 && path.ends_with(kDeleted)) path.resize(path.size() - (sizeof kDeleted - 1));
    if (Basename(path) == wanted) found.push_back(static_cast<uint32_t>(pid));
  }
  closedir(dir);
  return found;
}

bool TerminateProcessById(uint32_t pid, uint32_t /*exit_code*/) {
  if (pid == 0 || pid > static_cast<uint32_t>(INT_MAX)) return false;
  return kill(static_cast<pid_t>(pid), SIGKILL) == 0;
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }

void ProtectStandardStreams() {
  signal(SIGPIPE, SIG_IGN);
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    // open() takes the lowest free number, which is this one.
    if (null_fd >= 0 && null_fd != fd) {
      dup2(null_fd, fd);
      close(null_fd);
    }
  }
}

}  // namespace vantrel::proc
