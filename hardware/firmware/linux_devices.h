// Finding the kernel's control attributes the Linux firmware backend uses.
// Portable: everything goes through the Sysfs interface.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hardware/firmware/linux_io.h"

namespace velmont::firmware {

inline constexpr char kPlatformProfile[] = "/sys/firmware/acpi/platform_profile";
inline constexpr char kPlatformProfileChoices[] = "/sys/firmware/acpi/platform_profile_choices";

// One pwm channel of an hwmon device: a pwmN_enable, with pwmN (the duty)
// beside it on most drivers.
struct FanChannel {
  std::string hwmon;  // "/sys/class/hwmon/hwmon3"
  std::string chip;   // the device's "name"
  int pwm = 0;        // N
  int curve_points = 0;  // pwmN_auto_point1.. with both _temp and _pwm

  std::string Attr(const std::string& suffix) const;  // hwmon + "/pwmN" + suffix
  std::string PointAttr(int point, const char* what) const;  // .../pwmN_auto_pointM_<what>
};

// Controllable fans in hwmonN order, then pwm order; GPU boards left out
// (their fans belong to the GPU's own tools).
std::vector<FanChannel> FindFans(Sysfs& sys);
// The first BAT*'s charge_control_end_threshold; empty when none has one.
std::string FindChargeLimit(Sysfs& sys);
// The first *::kbd_backlight LED folder; empty when there is none.
std::string FindKeyboardLight(Sysfs& sys);

// A decimal attribute value: optional '-', digits, nothing else; bounded.
std::optional<int64_t> ParseInteger(std::string_view text);
std::optional<int64_t> ReadInteger(Sysfs& sys, const std::string& path);

// The trailing number of "hwmon12" after `prefix`; -1 when it is not one.
long NumberAfter(std::string_view name, std::string_view prefix);

}  // namespace velmont::firmware
