// The record of fans the service took out of automatic mode, so that a stop,
// or the next start after a crash, can give them back to the driver. One line
// per fan: "<hwmon folder> <pwm number> <enable value to restore> <chip name>".
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace velmont::firmware {

struct ManualFan {
  std::string hwmon;  // "/sys/class/hwmon/hwmon3"
  int pwm = 0;
  int restore = 2;    // the automatic pwmN_enable value the driver had
  std::string chip;   // hwmon numbers change across boots; the name must match too

  bool SameChannel(const ManualFan& other) const { return hwmon == other.hwmon && pwm == other.pwm; }
};

std::string FormatFanLedger(const std::vector<ManualFan>& fans);
// Lines that do not name an hwmon pwm channel with an automatic value are
// dropped: the file must never steer a write anywhere else.
std::vector<ManualFan> ParseFanLedger(std::string_view text);

}  // namespace velmont::firmware
