// The service run on Linux: systemd is the service manager (sd_notify status,
// SIGTERM as the stop control), syslog is the event log, and logind supplies
// the power and session events.
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "common/text.h"
#include "common/win32_errors.h"
#include "supervisor/power_events.h"
#include "supervisor/service_host.h"

namespace vantrel::supervisor {
namespace {

// errno as the Win32 code the same failure gives on Windows, where there is one.
uint32_t Win32FromErrno(int err) {
  switch (err) {
    case 0:
      return win32::kErrorSuccess;
    case ENOENT:
    case ENOTDIR:
      return win32::kErrorFileNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return win32::kErrorAccessDenied;
    case ENOMEM:
      return win32::kErrorNotEnoughMemory;
    case EEXIST:
      return win32::kErrorAlreadyExists;
    default:
      return win32::kErrorGenFailure;
  }
}

const char* StateName(uint32_t state) {
  switch (state) {
    case kServiceStopped:
      return "stopped";
    case kServiceStartPending:
      return "start pending";
    case kServiceStopPending:
      return "stop pending";
    case kServiceRunning:
      return "running";
    case kServiceContinuePending:
      return "continue pending";
    case kServicePausePending:
      return "pause pending";
    case kServicePaused:
      return "paused";
    default:
      return "unknown";
  }
}

class SystemdHost : public ServiceHost {
 public:
  void SetStatus(const ServiceStatus& status) override {
    std::string msg = std::string("STATUS=") + StateName(status.current_state) + " (check point " +
                      std::to_string(status.check_point) + ")";
    if (status.current_state == kServiceRunning) msg += "\nREADY=1";
    if (status.current_state == kServiceStopPending) msg += "\nSTOPPING=1";
    if (status.current_state == kServiceStopped && status.win32_exit_code != 0) {
      msg += "\nERRNO=" + std::to_string(status.win32_exit_code);
    }
    sd_notify(0, msg.c_str());
  }

  void WriteEvent(uint16_t type, const std::wstring& service_name, const std::wstring& message) override {
    int priority = type == kEventError ? LOG_ERR : type == kEventWarning ? LOG_WARNING : LOG_INFO;
    const std::string name = text::ToUtf8(service_name);
    openlog(name.c_str(), LOG_PID, LOG_DAEMON);
    syslog(priority, "%s: %s", name.c_str(), text::ToUtf8(message).c_str());
    closelog();
  }
};

}  // namespace

bool RunService(CServiceBase& service, const std::vector<std::wstring>& args) {
  // SIGTERM is the stop control. The signals are blocked before any service
  // thread exists, so every thread inherits the mask and only the descriptor sees them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  int sigfd = signalfd(-1, &signals, SFD_CLOEXEC);
  if (sigfd < 0) {
    std::printf("Service failed to run w/err 0x%08lx\n", static_cast<unsigned long>(Win32FromErrno(errno)));
    return false;
  }

  SystemdHost host;
  service.set_host(&host);
  LogindWatch logind(service);
  bool have_bus = logind.Open();

  service.Start(args);
  while (service.status().current_state != kServiceStopped) {
    pollfd fds[2] = {{sigfd, POLLIN, 0}, {have_bus ? logind.fd() : -1, have_bus ? logind.events() : short(0), 0}};
    int r = poll(fds, 2, have_bus ? logind.timeout_ms() : -1);
    if (r < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info;
      if (read(sigfd, &info, sizeof info) == static_cast<ssize_t>(sizeof info) && info.ssi_signo != SIGHUP) {
        service.HandleControl(kControlStop, 0, nullptr);
      }
    }
    if (have_bus && !logind.Process()) have_bus = false;  // logind went away: no more events
  }
  service.set_host(nullptr);
  close(sigfd);
  return true;
}

}  // namespace vantrel::supervisor
