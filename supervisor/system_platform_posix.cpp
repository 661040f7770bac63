// The operating system as the supervisor uses it on Linux: the workers are
// found by their executable in the supervisor's own folder, started through
// the common process API, and ended with SIGTERM, then SIGKILL.
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <system_error>
#include <thread>

#include "common/paths.h"
#include "common/process.h"
#include "common/text.h"
#include "common/win32_errors.h"
#include "hardware/firmware/linux_control.h"
#include "hardware/firmware/linux_io.h"
#include "supervisor/console_session.h"
#include "supervisor/system_platform.h"
#include "supervisor/systemd_glue.h"

namespace vantrel::supervisor {
namespace {

std::string ReadLinkTarget(const std::string& link) {
  char buf[PATH_MAX];
  ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
  if (n <= 0) return "";
  std::string path(buf, static_cast<size_t>(n));
  static constexpr char kDeleted[] = " (deleted)";
  if (path.ends_with(kDeleted)) path.resize(path.size() - (sizeof kDeleted - 1));
  return path;
}

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
      const std::string id = ProcessSession(pid);
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

};

}  // namespace

std::unique_ptr<SupervisorPlatform> MakeSystemPlatform() { return std::make_unique<LinuxPlatform>(); }

}  // namespace vantrel::supervisor
