// Linux: the keyboard controller over hidraw and the launcher key from evdev
// devices, read on a thread of their own (the main thread waits for signals).
#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "common/diag_log.h"
#include "common/paths.h"
#include "common/registry.h"
#include "hardware/input.h"
#include "hardware/launcher.h"
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

void ReadLoop(std::vector<Source> sources, std::function<void(const ModifierState&)> on_key,
              std::shared_ptr<ModifierState> state) {
  while (!sources.empty()) {
    std::vector<pollfd> fds;
    for (const Source& s : sources) fds.push_back(pollfd{s.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (size_t i = fds.size(); i-- > 0;) {
      if (fds[i].revents == 0) continue;
      Source& s = sources[i];
      bool drop = (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (fds[i].revents & POLLIN) == 0;
      if (!drop && s.hid) {
        uint8_t report[256];
        const ssize_t n = read(s.fd, report, sizeof(report));
        if (n > 0 && IsControllerKeyReport(std::span<const uint8_t>(report, static_cast<size_t>(n)))) {
          LogInfo(kFn, L"Keyboard Tavrix Key");
          on_key(*state);
        }
        drop = n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
      } else if (!drop) {
        input_event events[64];
        const ssize_t n = read(s.fd, events, sizeof(events));
        for (ssize_t k = 0; n > 0 && k < n / static_cast<ssize_t>(sizeof(input_event)); ++k) {
          if (s.decoder->Feed(events[k].type, events[k].code, events[k].value)) {
            LogInfo(kFn, L"Message: 0x75");
            LogInfo(kFn, L"Message: kAgtCmdLaunchTXUWP");
            on_key(*state);
          }
        }
        drop = n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
      }
      if (drop) {
        close(s.fd);
        sources.erase(sources.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }
}

}  // namespace

std::vector<std::string> ControllerHidrawNodes() {
  std::vector<std::string> nodes;
  for (const HidrawDevice& d : ControllerDevices()) nodes.push_back(paths::SysPath("/dev/" + d.node));
  return nodes;
}

bool StartInputReader(const std::function<void(const ModifierState&)>& on_key) {
  auto state = std::make_shared<ModifierState>();
  std::vector<Source> sources;
  const std::string input_dir = paths::SysPath("/dev/input");
  for (const std::string& name : ListDir(input_dir, "event")) {
    const int fd = open((input_dir + "/" + name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) sources.push_back(Source{fd, false, std::make_unique<EvdevKeyDecoder>(state.get())});
  }
  for (const std::string& node : ControllerHidrawNodes()) {
    const int fd = open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) sources.push_back(Source{fd, true, nullptr});
  }
  if (sources.empty()) return false;
  std::thread(ReadLoop, std::move(sources), on_key, state).detach();
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
