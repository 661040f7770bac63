// -install and -uninstall on Linux: a unit file written into systemd's unit
// folder, enabled and started through systemctl; removed the same way.
#include <errno.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/process.h"
#include "common/text.h"
#include "supervisor/installer.h"
#include "supervisor/systemd_glue.h"

namespace vantrel::supervisor {
namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}


std::string SelfExecutable() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  return std::string(buf, static_cast<size_t>(n));
}

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

// The tool gets the installer's environment; no hung tool can hold the
// installer or the supervisor for good.
proc::CapturedRun RunSystemctl(const std::vector<std::string>& args) {
  const std::string tool = SystemctlPath();
  if (tool.empty()) return {};
  std::vector<std::wstring> wide;
  for (const std::string& a : args) wide.push_back(text::FromUtf8(a));
  return proc::RunCapturingOutput(text::FromUtf8(tool), wide, {}, SystemctlTimeout());
}

UnitState QueryUnitState() {
  proc::CapturedRun r = RunSystemctl({"show", "-p", "ActiveState", "--value", kUnitName});
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
  proc::CapturedRun reload = RunSystemctl({"daemon-reload"});
  proc::CapturedRun enable = RunSystemctl({"enable", kUnitName});
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
    proc::CapturedRun stop = RunSystemctl({"stop", "--no-block", kUnitName});
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
