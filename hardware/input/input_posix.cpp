// Linux: the keyboard controller over hidraw and the launcher key from evdev
// devices, read on a thread of their own (the main thread waits for signals).
#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "common/diag_log.h"
#include "common/paths.h"
#include "common/registry.h"
#include "hardware/input/input.h"
#include "hardware/launcher/launcher.h"
#include "hardware/startup.h"

namespace vantrel::hw {
namespace {

constexpr wchar_t kFn[] = L"WindowsMessageLoop::WindowsInput";
constexpr size_t kMaxAttributeBytes = 64 * 1024;  // report descriptors are at most 4 KiB

std::optional<std::string> ReadSmallFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string data(kMaxAttributeBytes, '\0');
  in.read(data.data(), static_cast<std::streamsize>(data.size()));
  if (in.bad()) return std::nullopt;
  data.resize(static_cast<size_t>(in.gcount()));
  return data;
}

std::vector<std::string> ListDir(const std::string& dir, const std::string& prefix) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (std::string(e->d_name).rfind(prefix, 0) == 0) names.emplace_back(e->d_name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct HidrawDevice {
  std::string node;  // hidrawN
  size_t feature_length = 0;
};

// The controller's hidraw devices with the feature report length of each.
std::vector<HidrawDevice> ControllerDevices() {
  std::vector<HidrawDevice> out;
  const std::string root = paths::SysPath("/sys/class/hidraw");
  for (const std::string& name : ListDir(root, "hidraw")) {
    const std::optional<std::string> uevent = ReadSmallFile(root + "/" + name + "/device/uevent");
    if (!uevent) continue;
    const auto id = HidIdFromUevent(*uevent);
    if (!id || id->first != kControllerVendor || id->second != kControllerProduct) continue;
    const std::optional<std::string> descriptor = ReadSmallFile(root + "/" + name + "/device/report_descriptor");
    HidrawDevice device{name, 0};
    if (descriptor) {
      device.feature_length = FeatureReportLength(
          std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(descriptor->data()), descriptor->size()));
    }
    out.push_back(device);
  }
  return out;
}

struct Source {
  int fd;
  bool hid;  // a hidraw node: one report per read
  std::unique_ptr<EvdevKeyDecoder> decoder;
};

// A bound on open devices, so a folder full of nodes cannot exhaust descriptors.
constexpr size_t kMaxSources = 256;

// The devices being read, keyed by node path, and the inotify watches on
// <sysroot>/dev and <sysroot>/dev/input that bring in devices plugged in later
// (or again after an unplug). Lives on the reader thread.
class DeviceSet {
 public:
  DeviceSet(std::function<void(const ModifierState&)> on_key)
      : on_key_(std::move(on_key)), state_(std::make_shared<ModifierState>()),
        dev_dir_(paths::SysPath("/dev")), input_dir_(paths::SysPath("/dev/input")) {
    inotify_fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_fd_ >= 0) dev_wd_ = inotify_add_watch(inotify_fd_, dev_dir_.c_str(), kWatchMask);
    WatchInputDir();
    ScanInputDir();
    ScanControllers();
  }
  ~DeviceSet() {
    for (auto& [path, source] : sources_) close(source.fd);
    if (inotify_fd_ >= 0) close(inotify_fd_);
  }
  DeviceSet(const DeviceSet&) = delete;
  DeviceSet& operator=(const DeviceSet&) = delete;

  // False when there is nothing to read and nothing to wait for.
  bool Alive() const { return !sources_.empty() || dev_wd_ >= 0 || input_wd_ >= 0; }
  void RunOnce();

 private:
  static constexpr uint32_t kWatchMask = IN_CREATE | IN_ATTRIB | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM;

  void WatchInputDir() {
    if (inotify_fd_ >= 0 && input_wd_ < 0) input_wd_ = inotify_add_watch(inotify_fd_, input_dir_.c_str(), kWatchMask);
  }
  void ScanInputDir() {
    for (const std::string& name : ListDir(input_dir_, "event")) Open(input_dir_ + "/" + name, false);
  }
  void ScanControllers() {
    for (const std::string& node : ControllerHidrawNodes()) Open(node, true);
  }
  void Open(const std::string& path, bool hid) {
    if (sources_.count(path) != 0 || sources_.size() >= kMaxSources) return;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;  // udev may still be setting permissions: IN_ATTRIB retries
    sources_.emplace(path, Source{fd, hid, hid ? nullptr : std::make_unique<EvdevKeyDecoder>(state_.get())});
  }
  void Drop(const std::string& path) {
    auto it = sources_.find(path);
    if (it == sources_.end()) return;
    close(it->second.fd);
    sources_.erase(it);
  }
  void HandleWatchEvents();
  void HandleWatchEvent(const inotify_event& e);
  // False when the device has ended and must be dropped.
  bool ReadSource(Source& s);

  std::function<void(const ModifierState&)> on_key_;
  std::shared_ptr<ModifierState> state_;  // shared by every keyboard, as Windows keeps one
  std::string dev_dir_;
  std::string input_dir_;
  int inotify_fd_ = -1;
  int dev_wd_ = -1;
  int input_wd_ = -1;
  std::map<std::string, Source> sources_;
};

void DeviceSet::HandleWatchEvent(const inotify_event& e) {
  if ((e.mask & IN_Q_OVERFLOW) != 0) {
    WatchInputDir();
    ScanInputDir();
    ScanControllers();
    return;
  }
  if ((e.mask & IN_IGNORED) != 0) {  // the folder itself went away
    if (e.wd == dev_wd_) dev_wd_ = -1;
    if (e.wd == input_wd_) input_wd_ = -1;
    return;
  }
  const std::string name = e.len > 0 ? std::string(e.name) : std::string();
  const bool gone = (e.mask & (IN_DELETE | IN_MOVED_FROM)) != 0;
  const bool fresh = (e.mask & (IN_CREATE | IN_MOVED_TO)) != 0;
  if (e.wd == input_wd_ && name.rfind("event", 0) == 0) {
    const std::string path = input_dir_ + "/" + name;
    if (gone || fresh) Drop(path);  // a node created under a known name is a new device
    if (!gone) Open(path, false);
  } else if (e.wd == dev_wd_ && name == "input" && !gone) {
    WatchInputDir();
    ScanInputDir();
  } else if (e.wd == dev_wd_ && name.rfind("hidraw", 0) == 0) {
    const std::string path = dev_dir_ + "/" + name;
    if (gone || fresh) Drop(path);
    if (!gone) ScanControllers();
  }
}

void DeviceSet::HandleWatchEvents() {
  alignas(inotify_event) char buffer[4096];
  while (true) {
    const ssize_t n = read(inotify_fd_, buffer, sizeof(buffer));
    if (n <= 0) return;
    for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buffer + off);
      HandleWatchEvent(*e);
      off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
  }
}

bool DeviceSet::ReadSource(Source& s) {
  ssize_t n;
  if (s.hid) {
    uint8_t report[256];
    n = read(s.fd, report, sizeof(report));
    if (n > 0 && IsControllerKeyReport(std::span<const uint8_t>(report, static_cast<size_t>(n)))) {
      LogInfo(kFn, L"Keyboard Tavrix Key");
      on_key_(*state_);
    }
  } else {
    input_event events[64];
    n = read(s.fd, events, sizeof(events));
    for (ssize_t k = 0; n > 0 && k < n / static_cast<ssize_t>(sizeof(input_event)); ++k) {
      if (s.decoder->Feed(events[k].type, events[k].code, events[k].value)) {
        LogInfo(kFn, L"Message: 0x75");
        LogInfo(kFn, L"Message: kAgtCmdLaunchTXUWP");
        on_key_(*state_);
      }
    }
  }
  return !(n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR));
}

void DeviceSet::RunOnce() {
  std::vector<pollfd> fds;
  std::vector<std::string> paths;
  if (inotify_fd_ >= 0) fds.push_back(pollfd{inotify_fd_, POLLIN, 0});
  for (const auto& [path, source] : sources_) {
    fds.push_back(pollfd{source.fd, POLLIN, 0});
    paths.push_back(path);
  }
  if (poll(fds.data(), fds.size(), -1) < 0) return;  // EINTR: the caller loops
  const size_t first = inotify_fd_ >= 0 ? 1 : 0;
  for (size_t i = first; i < fds.size(); ++i) {
    if (fds[i].revents == 0) continue;
    auto it = sources_.find(paths[i - first]);
    if (it == sources_.end()) continue;
    bool keep = (fds[i].revents & POLLIN) != 0 || (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
    if (keep) keep = ReadSource(it->second);
    if (!keep) Drop(it->first);
  }
  // Watch events last: a device replaced under its name is reopened after the
  // old descriptor's final reads.
  if (first == 1 && fds[0].revents != 0) HandleWatchEvents();
}

void ReadLoop(std::shared_ptr<DeviceSet> devices) {
  while (devices->Alive()) devices->RunOnce();
}

}  // namespace

std::vector<std::string> ControllerHidrawNodes() {
  std::vector<std::string> nodes;
  for (const HidrawDevice& d : ControllerDevices()) nodes.push_back(paths::SysPath("/dev/" + d.node));
  return nodes;
}

bool StartInputReader(const std::function<void(const ModifierState&)>& on_key) {
  auto devices = std::make_shared<DeviceSet>(on_key);
  if (!devices->Alive()) return false;
  std::thread(ReadLoop, std::move(devices)).detach();
  return true;
}

void ScanKeyboardController() {
  bool found = false;
  for (const HidrawDevice& d : ControllerDevices()) {
    if (d.feature_length == kControllerFeatureReportBytes) found = true;
  }
  SetKeyboardControllerFlag(found);
}

// Linux has no raw-input registration: the reader thread takes its place.
void RegisterRawInput(void*) {
  const bool started = StartInputReader([](const ModifierState& state) {
    RunLauncherKeyAction(state.ctrl, state.shift, KeyboardControllerFlag(), reg::SystemRegistry(), &LauncherPath,
                         &StartInConsoleSession);
  });
  if (!started) Log(kLogWarning, kFn, L"no readable input devices: the launcher key is not watched");
}

void HandleRawInput(void*, intptr_t) {}

}  // namespace vantrel::hw
