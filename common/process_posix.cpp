// Processes on Linux: waiting for children, /proc/<pid>/exe enumeration,
// signals. Starting them is in process_launch_posix.cpp.
#include "common/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "common/process_posix.h"
#include "common/text.h"

namespace vantrel::proc {

namespace {

// Exit code as a shell reports it: the status for a normal exit, 128 + the
// signal number for a process ended by a signal.
int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
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

// Whether a process that is not our child still runs: it exists and is not
// a zombie waiting for a parent that does not reap it.
bool Alive(pid_t pid) {
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return kill(pid, 0) == 0 || errno == EPERM;
  char buf[512];
  const ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (n <= 0) return false;
  buf[n] = '\0';
  // The state follows the command name, which is in parentheses and may hold any character.
  const char* close_paren = std::strrchr(buf, ')');
  return close_paren == nullptr || close_paren[1] != ' ' || (close_paren[2] != 'Z' && close_paren[2] != 'X');
}

std::string Basename(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

Process::~Process() {
  if (!impl_ || pid_ == 0) return;
  std::lock_guard<std::mutex> guard(impl_->lock);
  if (impl_->reaped || impl_->detached) return;
  int status = 0;
  pid_t r = waitpid(static_cast<pid_t>(pid_), &status, WNOHANG);
  if (r == 0) ReapInBackground(static_cast<pid_t>(pid_));
}

bool Process::Running() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  if (impl_->reaped) return false;
  if (impl_->detached) {
    if (Alive(static_cast<pid_t>(pid_))) return true;
    impl_->reaped = true;
    impl_->exit_code = -1;
    return false;
  }
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
  if (impl_->detached) {
    while (Running()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return -1;
  }
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
  // Once reaped the pid may belong to someone else, and a detached one's at any time.
  if (!impl_->reaped && !impl_->detached) kill(static_cast<pid_t>(pid_), SIGKILL);
}

void Process::RequestStop() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  if (!impl_->reaped && !impl_->detached) kill(static_cast<pid_t>(pid_), SIGTERM);
}

// Reads the real /proc, not the test sysroot: the ids found here are killed and
// waited for, and those must be the machine's own processes. Processes of other
// users are invisible without the privilege to read their exe link.
std::vector<ProcessEntry> SnapshotProcesses() {
  std::vector<ProcessEntry> found;
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
    found.push_back({static_cast<uint32_t>(pid), text::FromUtf8(Basename(path)), 0});
  }
  closedir(dir);
  return found;
}

std::vector<uint32_t> FindProcessesByName(const std::wstring& exe_name) {
  std::vector<uint32_t> found;
  for (const ProcessEntry& p : SnapshotProcesses()) {
    if (p.exe_name == exe_name) found.push_back(p.pid);
  }
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
