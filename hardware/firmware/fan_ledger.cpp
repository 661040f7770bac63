#include "hardware/firmware/fan_ledger.h"

#include "hardware/firmware/linux_devices.h"

namespace velmont::firmware {
namespace {

constexpr std::string_view kHwmonRoot = "/sys/class/hwmon/";

// Splits off the text before the first blank.
std::string_view Word(std::string_view& line) {
  const size_t blank = line.find(' ');
  std::string_view word = line.substr(0, blank);
  line = blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
  return word;
}

std::optional<ManualFan> ParseLine(std::string_view line) {
  ManualFan fan;
  const std::string_view dir = Word(line);
  if (dir.substr(0, kHwmonRoot.size()) != kHwmonRoot) return std::nullopt;
  if (NumberAfter(dir.substr(kHwmonRoot.size()), "hwmon") < 0) return std::nullopt;
  const auto pwm = ParseInteger(Word(line));
  const auto restore = ParseInteger(Word(line));
  if (!pwm || *pwm < 1 || *pwm > 999 || !restore || *restore < 2 || *restore > 255) return std::nullopt;
  fan.hwmon = std::string(dir);
  fan.pwm = static_cast<int>(*pwm);
  fan.restore = static_cast<int>(*restore);
  fan.chip = std::string(line);
  return fan;
}

}  // namespace

std::string FormatFanLedger(const std::vector<ManualFan>& fans) {
  std::string out;
  for (const ManualFan& f : fans) {
    out += f.hwmon + " " + std::to_string(f.pwm) + " " + std::to_string(f.restore) + " " + f.chip + "\n";
  }
  return out;
}

std::vector<ManualFan> ParseFanLedger(std::string_view text) {
  std::vector<ManualFan> fans;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (auto fan = ParseLine(line)) fans.push_back(std::move(*fan));
  }
  return fans;
}

}  // namespace velmont::firmware
