#include "hardware/firmware/linux_devices.h"

#include <algorithm>
#include <map>
#include <set>

namespace velmont::firmware {
namespace {

constexpr const char* kGpuChips[] = {"nvidia", "amdgpu", "nouveau", "radeon", "i915", "xe"};

bool IsGpuChip(const std::string& chip) {
  return std::find(std::begin(kGpuChips), std::end(kGpuChips), chip) != std::end(kGpuChips);
}

// Entries of `dir` named prefix + number, by number.
std::map<long, std::string> Numbered(Sysfs& sys, const std::string& dir, std::string_view prefix) {
  std::map<long, std::string> out;
  for (const std::string& name : sys.List(dir)) {
    const long n = NumberAfter(name, prefix);
    if (n >= 0) out[n] = name;
  }
  return out;
}

// N of every pwmN_enable in `dir`, in order.
std::set<long> EnableNumbers(Sysfs& sys, const std::string& dir) {
  constexpr std::string_view kSuffix = "_enable";
  std::set<long> out;
  for (const std::string& name : sys.List(dir)) {
    if (name.size() <= kSuffix.size() || name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) {
      continue;
    }
    const long n = NumberAfter(std::string_view(name).substr(0, name.size() - kSuffix.size()), "pwm");
    if (n > 0) out.insert(n);
  }
  return out;
}

int CountCurvePoints(Sysfs& sys, const FanChannel& fan) {
  int points = 0;
  // Curves are short (drivers offer up to 10 points); the bound keeps a
  // strange tree from making this walk long.
  while (points < 32 && sys.Exists(fan.PointAttr(points + 1, "temp")) &&
         sys.Exists(fan.PointAttr(points + 1, "pwm"))) {
    ++points;
  }
  return points;
}

}  // namespace

std::string FanChannel::Attr(const std::string& suffix) const {
  return hwmon + "/pwm" + std::to_string(pwm) + suffix;
}

std::string FanChannel::PointAttr(int point, const char* what) const {
  return Attr("_auto_point" + std::to_string(point) + "_" + what);
}

long NumberAfter(std::string_view name, std::string_view prefix) {
  if (name.substr(0, prefix.size()) != prefix || name.size() == prefix.size()) return -1;
  if (name.size() - prefix.size() > 6) return -1;
  long v = 0;
  for (size_t i = prefix.size(); i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return -1;
    v = v * 10 + (name[i] - '0');
  }
  return v;
}

std::optional<int64_t> ParseInteger(std::string_view text) {
  bool negative = false;
  if (!text.empty() && text[0] == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > 18) return std::nullopt;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return negative ? -v : v;
}

std::optional<int64_t> ReadInteger(Sysfs& sys, const std::string& path) {
  const auto text = sys.Read(path);
  return text ? ParseInteger(*text) : std::nullopt;
}

std::vector<FanChannel> FindFans(Sysfs& sys) {
  const std::string root = "/sys/class/hwmon";
  std::vector<FanChannel> fans;
  for (const auto& [n, leaf] : Numbered(sys, root, "hwmon")) {
    FanChannel base;
    base.hwmon = root + "/" + leaf;
    base.chip = sys.Read(base.hwmon + "/name").value_or("");
    if (IsGpuChip(base.chip)) continue;
    // A channel is its mode switch: curve-only devices have no pwmN beside it.
    for (const long pwm : EnableNumbers(sys, base.hwmon)) {
      FanChannel fan = base;
      fan.pwm = static_cast<int>(pwm);
      fan.curve_points = CountCurvePoints(sys, fan);
      fans.push_back(std::move(fan));
    }
  }
  return fans;
}

std::string FindChargeLimit(Sysfs& sys) {
  const std::string root = "/sys/class/power_supply";
  for (const auto& [n, leaf] : Numbered(sys, root, "BAT")) {
    const std::string path = root + "/" + leaf + "/charge_control_end_threshold";
    if (sys.Exists(path)) return path;
  }
  return {};
}

std::string FindKeyboardLight(Sysfs& sys) {
  const std::string root = "/sys/class/leds";
  std::vector<std::string> names = sys.List(root);
  std::sort(names.begin(), names.end());
  constexpr std::string_view kSuffix = "::kbd_backlight";
  for (const std::string& name : names) {
    if (name.size() > kSuffix.size() && name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0) {
      const std::string dir = root + "/" + name;
      if (sys.Exists(dir + "/brightness") && sys.Exists(dir + "/max_brightness")) return dir;
    }
  }
  return {};
}

}  // namespace velmont::firmware
