// Running a program to its end with its standard output collected, within a
// time limit (Linux).
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fcntl.h>
#include <thread>

#include "common/process.h"
#include "common/process_posix.h"

namespace vantrel::proc {

CapturedRun RunCapturingOutput(const std::wstring& exe, const std::vector<std::wstring>& args,
                               const LaunchOptions& options, std::chrono::milliseconds timeout) {
  CapturedRun result;
  // Nobody waits for a detached program: it has no end to collect output to.
  if (options.detached) return result;
  Prepared prepared;
  Prepare(exe, args, options, prepared);
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return result;
  int err = 0;
  const pid_t pid = Spawn(prepared, options, out[1], &err);
  close(out[1]);
  if (pid < 0) {
    close(out[0]);
    return result;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool timed_out = false;
  char buf[512];
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    pollfd pfd{out[0], POLLIN, 0};
    const int ready = poll(&pfd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      timed_out = ready == 0;
      break;
    }
    const ssize_t n = read(out[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.output.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  int status = 0;
  for (;;) {
    if (timed_out) kill(pid, SIGKILL);
    const pid_t r = waitpid(pid, &status, timed_out ? 0 : WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) break;
    if (r == 0) {
      // Output closed but the program still runs: the same deadline holds.
      if (std::chrono::steady_clock::now() >= deadline) {
        timed_out = true;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
  }
  result.ran = !timed_out;
  result.exit_code = !timed_out && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace vantrel::proc
