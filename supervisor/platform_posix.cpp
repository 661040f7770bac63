// The supervisor on Linux: systemd is the service manager (sd_notify status,
// SIGTERM as the stop control, a unit file as the installation), logind on the
// system bus supplies power and session events, syslog is the event log.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <system_error>
#include <thread>

#include "common/paths.h"
#include "common/process.h"
#include "common/text.h"
#include "common/win32_errors.h"
#include "hardware/firmware/linux_control.h"
#include "hardware/firmware/linux_io.h"
#include "supervisor/service_host.h"
#include "supervisor/systemd_glue.h"

extern char** environ;

namespace vantrel::supervisor {
namespace {


std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

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

std::string SelfExecutable() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  return std::string(buf, static_cast<size_t>(n));
}

std::string ReadLinkTarget(const std::string& link) {
  char buf[PATH_MAX];
  ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
  if (n <= 0) return "";
  std::string path(buf, static_cast<size_t>(n));
  static constexpr char kDeleted[] = " (deleted)";
  if (path.ends_with(kDeleted)) path.resize(path.size() - (sizeof kDeleted - 1));
  return path;
}

// One variable of another process's environment (readable for our own
// processes, or for all as root).
std::string ProcessEnvValue(uint32_t pid, const std::string& name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
  std::string entry;
  while (std::getline(in, entry, '\0')) {
    if (entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 && entry[name.size()] == '=') {
      return entry.substr(name.size() + 1);
    }
  }
  return "";
}

// ---------------------------------------------------------------------------
// Processes

// How long a worker has to end after SIGTERM before it is killed.
constexpr std::chrono::milliseconds kTerminateGrace{2000};

class LinuxPlatform : public SupervisorPlatform {
 public:
  std::wstring WorkerFileName(Worker worker) override {
    return worker == Worker::kAgent ? L"VantrelSysMonitorService" : L"VantrelSysHardwareService";
  }

  std::wstring WorkerPath(Worker worker) override { return paths::ExecutableDir() + L"/" + WorkerFileName(worker); }

  bool IsProcessRunning(const std::wstring& name) override { return !Workers(name).empty(); }

  bool LaunchInServiceContext(const std::wstring& path) override {
    // The handle goes at once: the supervisor keeps none; the child is reaped in the background.
    return proc::Process::Start(path, {}) != nullptr;
  }

  // The active graphical session on seat0 when there is one (as root, with that
  // session's environment); otherwise the service's own context, so that a
  // headless machine still runs the hardware service.
  bool LaunchInConsoleSession(const std::wstring& path) override {
    std::unique_ptr<proc::Process> child = proc::Process::Start(path, {}, GraphicalSessionEnvironment());
    if (!child) return false;
    WatchHardwareWorker(std::move(child), WorkerFileName(Worker::kHardware));
    return true;
  }

  // A hardware service that dies by a signal (SIGKILL, a crash) cannot give
  // back the fans it steers; its record of them is under the state folder, so
  // the supervisor does it as soon as the death is known instead of waiting
  // for the next start. Not while another hardware service runs: that one
  // owns the record now. Duplicates end with exit code 0 and are passed by.
  static void WatchHardwareWorker(std::unique_ptr<proc::Process> child, const std::wstring& name) {
    std::shared_ptr<proc::Process> held(std::move(child));
    try {
      std::thread([held, name] {
        held->WaitForExit();
        if (!held->EndedBySignal()) return;
        velmont::firmware::LinuxFirmware control(velmont::firmware::SystemSysfs(), velmont::firmware::FanStateFile());
        // Under the record's lock, so a hardware service starting meanwhile
        // takes the record over only after this, and one already running is
        // left to own it.
        control.RestoreFansUnlessRunning([&name] { return !Workers(name).empty(); });
      }).detach();
    } catch (const std::system_error&) {
      // No thread: the next start of the hardware service gives the fans back.
    }
  }

  // SIGTERM first, SIGKILL for whatever is left after a short grace: the
  // hardware service gives fans it steers back to automatic mode on its way
  // out, which a plain SIGKILL would leave running at a fixed duty until its
  // next start.
  void TerminateProcessesByName(const std::wstring& name) override {
    const std::vector<uint32_t> first = Workers(name);
    for (uint32_t pid : first) kill(static_cast<pid_t>(pid), SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kTerminateGrace;
    while (!first.empty() && std::chrono::steady_clock::now() < deadline && !Workers(name).empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (uint32_t pid : Workers(name)) proc::TerminateProcessById(pid, 9);
  }

  std::vector<WorkerProcess> ProcessSessions(const std::wstring& name) override {
    std::vector<WorkerProcess> out;
    for (uint32_t pid : Workers(name)) {
      char* session = nullptr;
      std::string id;
      if (sd_pid_get_session(static_cast<pid_t>(pid), &session) >= 0 && session) {
        id = session;
      } else {
        // Started by the service into a session: it carries the session's id.
        id = ProcessEnvValue(pid, "XDG_SESSION_ID");
      }
      free(session);
      out.push_back({pid, id.empty() ? 0u : SessionNumber(id)});
    }
    return out;
  }

  bool FileExists(const std::wstring& path) override {
    struct stat st;
    return stat(text::ToUtf8(path).c_str(), &st) == 0;
  }

  uint32_t QueueWorkItem(std::function<void()> work) override {
    return StartThread(std::move(work)) ? win32::kErrorSuccess : win32::kErrorNotEnoughMemory;
  }

  bool StartThread(std::function<void()> body) override {
    try {
      std::thread(std::move(body)).detach();
      return true;
    } catch (const std::system_error&) {
      return false;
    }
  }

 private:
  // Workers are the programs of that name in the supervisor's own folder: a
  // same-named program elsewhere (another copy of the suite, a developer's
  // build) is neither counted nor ended.
  static std::vector<uint32_t> Workers(const std::wstring& name) {
    std::vector<uint32_t> out;
    const std::string expected = text::ToUtf8(paths::ExecutableDir() + L"/" + name);
    for (uint32_t pid : proc::FindProcessesByName(name)) {
      if (ReadLinkTarget("/proc/" + std::to_string(pid) + "/exe") == expected) out.push_back(pid);
    }
    return out;
  }

  // The first process of the session whose environment names a display.
  static uint32_t DesktopProcessOf(const char* session) {
    uint32_t found = 0;
    DIR* dir = opendir("/proc");
    if (!dir) return 0;
    while (dirent* entry = readdir(dir)) {
      char* end = nullptr;
      unsigned long pid = std::strtoul(entry->d_name, &end, 10);
      if (pid == 0 || !end || *end != '\0') continue;
      char* own = nullptr;
      bool same = sd_pid_get_session(static_cast<pid_t>(pid), &own) >= 0 && own && std::strcmp(own, session) == 0;
      free(own);
      if (same && (!ProcessEnvValue(static_cast<uint32_t>(pid), "DISPLAY").empty() ||
                   !ProcessEnvValue(static_cast<uint32_t>(pid), "WAYLAND_DISPLAY").empty())) {
        found = static_cast<uint32_t>(pid);
        break;
      }
    }
    closedir(dir);
    return found;
  }

  static std::map<std::wstring, std::wstring> GraphicalSessionEnvironment() {
    std::map<std::wstring, std::wstring> env;
    char* session = nullptr;
    uid_t uid = 0;
    if (sd_seat_get_active("seat0", &session, &uid) < 0 || !session) return env;
    char* type = nullptr;
    bool graphical = sd_session_get_type(session, &type) >= 0 && type &&
                     (std::strcmp(type, "x11") == 0 || std::strcmp(type, "wayland") == 0 ||
                      std::strcmp(type, "mir") == 0);
    free(type);
    if (graphical) {
      env[L"XDG_SESSION_ID"] = text::FromUtf8(session);
      env[L"XDG_SEAT"] = L"seat0";
      env[L"XDG_RUNTIME_DIR"] = text::FromUtf8("/run/user/" + std::to_string(uid));
      env[L"DBUS_SESSION_BUS_ADDRESS"] = text::FromUtf8("unix:path=/run/user/" + std::to_string(uid) + "/bus");
      char* display = nullptr;
      if (sd_session_get_display(session, &display) >= 0 && display) env[L"DISPLAY"] = text::FromUtf8(display);
      free(display);
      // A desktop process of the session knows the rest of its variables.
      uint32_t donor = DesktopProcessOf(session);
      if (donor != 0) {
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "XDG_SESSION_TYPE",
                                 "XDG_CURRENT_DESKTOP", "DBUS_SESSION_BUS_ADDRESS"}) {
          std::string v = ProcessEnvValue(donor, name);
          if (!v.empty()) env[text::FromUtf8(name)] = text::FromUtf8(v);
        }
      }
    }
    free(session);
    return env;
  }
};

// ---------------------------------------------------------------------------
// Service manager

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

// logind on the system bus: sleep and the seat's active session.
class LogindWatch {
 public:
  explicit LogindWatch(CServiceBase& service) : service_(service) {}
  ~LogindWatch() {
    if (sleep_slot_) sd_bus_slot_unref(sleep_slot_);
    if (seat_slot_) sd_bus_slot_unref(seat_slot_);
    if (bus_) sd_bus_flush_close_unref(bus_);
  }

  // False when the system bus or logind cannot be reached; there are then no events.
  bool Open() {
    if (sd_bus_open_system(&bus_) < 0) {
      bus_ = nullptr;
      return false;
    }
    if (sd_bus_match_signal(bus_, &sleep_slot_, "org.freedesktop.login1", "/org/freedesktop/login1",
                            "org.freedesktop.login1.Manager", "PrepareForSleep", &LogindWatch::OnSleep, this) < 0 ||
        sd_bus_match_signal(bus_, &seat_slot_, "org.freedesktop.login1", "/org/freedesktop/login1/seat/seat0",
                            "org.freedesktop.DBus.Properties", "PropertiesChanged", &LogindWatch::OnSeatChanged,
                            this) < 0) {
      return false;
    }
    active_session_ = QueryActiveSession();
    return true;
  }

  int fd() const { return bus_ ? sd_bus_get_fd(bus_) : -1; }
  short events() const { return bus_ ? static_cast<short>(sd_bus_get_events(bus_)) : 0; }
  int timeout_ms() const {
    uint64_t usec = 0;
    if (!bus_ || sd_bus_get_timeout(bus_, &usec) < 0 || usec == UINT64_MAX) return -1;
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t now = static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
    return usec <= now ? 0 : static_cast<int>(std::min<uint64_t>((usec - now + 999) / 1000, 60000));
  }
  // False when the connection broke.
  bool Process() {
    for (;;) {
      int r = sd_bus_process(bus_, nullptr);
      if (r < 0) return false;
      if (r == 0) return true;
    }
  }

 private:
  std::string QueryActiveSession() {
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    std::string id;
    if (sd_bus_get_property(bus_, "org.freedesktop.login1", "/org/freedesktop/login1/seat/seat0",
                            "org.freedesktop.login1.Seat", "ActiveSession", &error, &reply, "(so)") >= 0) {
      const char* session = nullptr;
      const char* path = nullptr;
      if (sd_bus_message_read(reply, "(so)", &session, &path) >= 0 && session) id = session;
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return id;
  }

  void Deliver(const std::vector<ControlEvent>& events) {
    for (const ControlEvent& e : events) {
      SessionNotification notification{sizeof(SessionNotification), e.session_id};
      service_.HandleControl(e.control, e.event_type,
                             e.control == kControlSessionChange ? &notification : nullptr);
    }
  }

  static int OnSleep(sd_bus_message* m, void* userdata, sd_bus_error*) {
    int start = 0;
    if (sd_bus_message_read(m, "b", &start) < 0) return 0;
    static_cast<LogindWatch*>(userdata)->Deliver(PrepareForSleepEvents(start != 0));
    return 0;
  }

  static int OnSeatChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    const char* iface = nullptr;
    if (sd_bus_message_read(m, "s", &iface) < 0 || !iface || std::strcmp(iface, "org.freedesktop.login1.Seat") != 0) {
      return 0;
    }
    auto* self = static_cast<LogindWatch*>(userdata);
    std::string now = self->QueryActiveSession();
    std::string before = self->active_session_;
    self->active_session_ = now;
    self->Deliver(ActiveSessionEvents(before, now));
    return 0;
  }

  CServiceBase& service_;
  sd_bus* bus_ = nullptr;
  sd_bus_slot* sleep_slot_ = nullptr;
  sd_bus_slot* seat_slot_ = nullptr;
  std::string active_session_;
};

// ---------------------------------------------------------------------------
// systemctl, for the installer

std::string UnitDir() {
  std::string dir = Env("VANTREL_SYSTEMD_UNIT_DIR");
  return dir.empty() ? "/etc/systemd/system" : dir;
}

// systemctl, or a stand-in named by VANTREL_SYSTEMCTL. A private unit folder is
// not one systemd reads, so without a stand-in nothing is asked of systemd then.
std::string SystemctlPath() {
  std::string tool = Env("VANTREL_SYSTEMCTL");
  if (!tool.empty()) return tool;
  if (!Env("VANTREL_SYSTEMD_UNIT_DIR").empty()) return "";
  return "/usr/bin/systemctl";
}

// systemctl gives up on an unresponsive systemd after its own 25 s D-Bus
// time-out; past this one it is ended. A stand-in tool (tests) may be given a
// shorter limit in VANTREL_SYSTEMCTL_TIMEOUT_MS.
std::chrono::milliseconds SystemctlTimeout() {
  constexpr std::chrono::milliseconds kDefault{30000};
  if (Env("VANTREL_SYSTEMCTL").empty()) return kDefault;
  const std::string text = Env("VANTREL_SYSTEMCTL_TIMEOUT_MS");
  char* end = nullptr;
  const long ms = text.empty() ? 0 : std::strtol(text.c_str(), &end, 10);
  if (ms <= 0 || ms > kDefault.count() || end == nullptr || *end != '\0') return kDefault;
  return std::chrono::milliseconds(ms);
}
// Status polls, one a second, while an uninstall waits for the service to stop.
constexpr int kStopPolls = 120;

struct CommandResult {
  bool ran = false;
  int exit_code = -1;
  std::string output;
};

CommandResult RunSystemctl(const std::vector<std::string>& args) {
  CommandResult result;
  const std::string tool = SystemctlPath();
  if (tool.empty()) return result;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  std::vector<std::string> storage{tool};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  // The supervisor ignores SIGPIPE for itself; the tool gets the default.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, tool.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    return result;
  }
  // No hung tool can hold the installer or the supervisor for good.
  const auto deadline = std::chrono::steady_clock::now() + SystemctlTimeout();
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
      // Output closed but the tool still runs: the same deadline holds.
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

UnitState QueryUnitState() {
  CommandResult r = RunSystemctl({"show", "-p", "ActiveState", "--value", kUnitName});
  if (!r.ran || r.exit_code != 0) return UnitState::kUnknown;
  return ParseUnitState(r.output);
}

// Failures of -install and -uninstall, in Linux terms, on standard error.
void InstallerError(const std::string& text) {
  std::fflush(stdout);  // in order with what was printed before
  std::fprintf(stderr, "%s\n", text.c_str());
}

std::string ErrnoText(int err) { return std::strerror(err); }

// The unit folder stands for the service manager's database: reachable when
// it exists and we may write in it.
bool OpenUnitDir() {
  const std::string dir = UnitDir();
  if (access(dir.c_str(), W_OK | X_OK) != 0) {
    InstallerError("cannot write the systemd unit folder " + dir + ": " + ErrnoText(errno) +
                   (errno == EACCES ? " (run as root)" : ""));
    return false;
  }
  return true;
}

// The unit the vantrel package installs. While it is there the package
// manager owns VACSvc: a unit written in /etc would shadow the packaged one,
// and removing it would stop and disable the packaged service.
std::string PackagedUnitPath() {
  std::string dir = Env("VANTREL_PACKAGE_UNIT_DIR");
  if (dir.empty()) {
    // A private unit folder is a development set-up that systemd never reads.
    if (!Env("VANTREL_SYSTEMD_UNIT_DIR").empty()) return "";
    dir = "/usr/lib/systemd/system";
  }
  return dir + "/" + kUnitName;
}

// -install and -uninstall are for development builds: next to the packaged
// unit they end the program with status 1 and say what to use instead.
void RefuseWhenPackaged() {
  const std::string path = PackagedUnitPath();
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0) return;
  std::fprintf(stderr,
               "VACSvc is installed by the vantrel package (%s): manage it with systemctl and the package manager "
               "(apt remove vantrel), not with -install or -uninstall.\n",
               path.c_str());
  std::exit(1);
}

}  // namespace

std::unique_ptr<SupervisorPlatform> MakeSystemPlatform() { return std::make_unique<LinuxPlatform>(); }

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

const int kInstallerFailedExitCode = 1;

bool InstallService() {
  RefuseWhenPackaged();
  const std::string self = SelfExecutable();
  if (self.empty()) {
    InstallerError("cannot find this program's own path (/proc/self/exe): " + ErrnoText(errno));
    return false;
  }
  if (!OpenUnitDir()) return false;

  const std::string unit_path = UnitDir() + "/" + kUnitName;
  struct stat st;
  if (stat(unit_path.c_str(), &st) == 0) {
    InstallerError("VACSvc is already installed: " + unit_path + " exists (remove it first with -uninstall)");
    return false;
  }
  // Written whole or not at all.
  const std::string tmp = unit_path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << BuildUnitFile(self);
    out.close();
    if (!out || rename(tmp.c_str(), unit_path.c_str()) != 0) {
      int err = errno ? errno : EIO;
      unlink(tmp.c_str());
      InstallerError("cannot write " + unit_path + ": " + ErrnoText(err));
      return false;
    }
  }
  std::printf("%s is installed.\n", "VACSvc");

  // Enabling the unit is what starts it at boot (the start trigger of Windows).
  // The unit stays when that fails, as the Windows installation does.
  if (SystemctlPath().empty()) return true;
  CommandResult reload = RunSystemctl({"daemon-reload"});
  CommandResult enable = RunSystemctl({"enable", kUnitName});
  if (!reload.ran || reload.exit_code != 0 || !enable.ran || enable.exit_code != 0) {
    InstallerError("the unit is written, but \"systemctl enable " + std::string(kUnitName) +
                   "\" failed: VACSvc will not start at boot");
    return false;
  }
  return true;
}

bool UninstallService() {
  RefuseWhenPackaged();
  if (!OpenUnitDir()) return false;
  const std::string unit_path = UnitDir() + "/" + kUnitName;
  struct stat st;
  if (stat(unit_path.c_str(), &st) != 0) {
    InstallerError("VACSvc is not installed: there is no " + unit_path);
    return false;
  }

  UnitState state = QueryUnitState();
  if (UnitAcceptsStop(state)) {
    CommandResult stop = RunSystemctl({"stop", "--no-block", kUnitName});
    if (stop.ran && stop.exit_code == 0) {
      std::printf("Stopping %s.", "VACSvc");
      std::fflush(stdout);
      state = UnitState::kDeactivating;
      // systemd ends a unit that overruns its stop time-out (90 s by
      // default); the polling ends a little after that in any case.
      for (int polls = 0; polls < kStopPolls; ++polls) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        UnitState now = QueryUnitState();
        if (now == UnitState::kUnknown) break;  // the query failed: the last known state counts
        state = now;
        if (state != UnitState::kDeactivating) break;
        std::printf(".");
        std::fflush(stdout);
      }
      if (UnitIsStopped(state)) {
        std::printf("\n%s is stopped.\n", "VACSvc");
      } else {
        std::printf("\n%s failed to stop.\n", "VACSvc");
      }
    }
  }

  if (!SystemctlPath().empty()) RunSystemctl({"disable", kUnitName});
  if (unlink(unit_path.c_str()) != 0) {
    InstallerError("cannot remove " + unit_path + ": " + ErrnoText(errno));
    return false;
  }
  std::printf("%s is removed.\n", "VACSvc");
  if (!SystemctlPath().empty()) RunSystemctl({"daemon-reload"});
  return true;
}

}  // namespace vantrel::supervisor
