// The values the Linux firmware backend exchanges through the firmware
// commands: which fan, which mode, which level, in which bits. The Windows
// firmware defines its own and treats them as opaque; on Linux the hardware
// service and vantrelctl both use these, so they live here once.
//
// Set commands take a 64-bit word and answer 0 when done; every refusal is
// the commands' usual failure value. Get commands take a 32-bit word and
// answer a 64-bit one. Bits not named below must be 0, or the word is refused.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::fwcode {

// ---- Platform profile (SetGamingProfile / GetGamingProfile) ----
// Set: bits 0..7 a profile id. Get: input 0 answers the current profile id;
// input 1 answers the supported profiles as a mask (bit id set).
enum class Profile : uint8_t {
  kLowPower = 1,
  kCool = 2,
  kQuiet = 3,
  kBalanced = 4,
  kBalancedPerformance = 5,
  kPerformance = 6,
  kCustom = 7,
  kMaxPower = 8,
};
inline constexpr uint8_t kProfileLast = 8;
inline constexpr uint32_t kProfileGetCurrent = 0;
inline constexpr uint32_t kProfileGetChoices = 1;
// The kernel's name of a profile ("balanced-performance"); empty for an unknown id.
std::string_view ProfileName(uint8_t id);
// The id of a kernel profile name; nullopt for names this encoding lacks.
std::optional<uint8_t> ProfileId(std::string_view name);

// ---- Fan behaviour (SetGamingFanBehavior / GetGamingFanBehavior) ----
// Fans are numbered from 1 in the order the backend finds them.
// Set: bits 0..7 fan, bits 8..15 mode. Get: bits 0..7 fan, answering the
// mode in bits 0..7; fan 0 answers the mask of controllable fans (bit fan).
enum class FanMode : uint8_t { kAuto = 0, kFull = 1, kManual = 2 };
struct FanBehavior {
  uint8_t fan = 0;
  FanMode mode = FanMode::kAuto;
};
// "auto", "full", "manual"; "unknown" for any other answer.
std::string_view FanModeName(uint64_t mode);
uint64_t EncodeFanBehavior(FanBehavior b);
std::optional<FanBehavior> DecodeFanBehavior(uint64_t word);

// ---- Fan speed (SetGamingFanSpeed / GetGamingFanSpeed) ----
// Set: bits 0..7 fan, bits 8..15 duty in percent (0..100); puts the fan in
// manual mode. Get: bits 0..7 fan, answering the duty percent in bits 0..7
// and the measured speed in rpm in bits 8..31 (0 when the driver has none).
struct FanSpeed {
  uint8_t fan = 0;
  uint8_t percent = 0;
};
uint64_t EncodeFanSpeed(FanSpeed s);
std::optional<FanSpeed> DecodeFanSpeed(uint64_t word);
struct FanReading {
  uint8_t percent = 0;
  uint32_t rpm = 0;
};
uint64_t EncodeFanReading(FanReading r);
FanReading DecodeFanReading(uint64_t word);

// ---- Fan table (SetGamingFanTable / GetGamingFanTable) ----
// The Get method receives no input, so reads go through a cursor:
// Set with point 0 selects fan (bits 0..7) and point (bits 16..23) for the
// next read; each Get answers the selected point and moves to the next one.
// Set with point 1.. writes that point: bits 0..7 fan, bits 8..15 point,
// bits 16..23 temperature in °C, bits 24..31 duty percent (0..100).
// Get answers bits 0..7 fan, 8..15 point, 16..23 °C, 24..31 percent and
// bits 32..39 the number of points of the fan's curve.
struct CurvePoint {
  uint8_t fan = 0;
  uint8_t point = 0;  // 0: select for reading
  uint8_t celsius = 0;
  uint8_t percent = 0;
  uint8_t count = 0;  // reads only
};
uint64_t EncodeCurveSet(CurvePoint p);
std::optional<CurvePoint> DecodeCurveSet(uint64_t word);
uint64_t EncodeCurveRead(CurvePoint p);
CurvePoint DecodeCurveRead(uint64_t word);

// ---- Miscellaneous settings (SetGamingMiscSetting / GetGamingMiscSetting,
// and the same words through SetFunction / GetFunction) ----
// Set: bits 0..7 setting, bits 16..31 value. Get: bits 0..7 setting,
// answering the value in bits 0..15 and its maximum in bits 16..31;
// setting 0 answers the mask of supported settings (bit setting).
enum class Setting : uint8_t {
  kBatteryChargeLimit = 1,  // percent at which charging stops
  kKeyboardBacklight = 2,   // level 0..maximum
};
struct SettingValue {
  uint8_t setting = 0;
  uint16_t value = 0;
};
uint64_t EncodeSetting(SettingValue s);
std::optional<SettingValue> DecodeSetting(uint64_t word);
struct SettingReading {
  uint16_t value = 0;
  uint16_t maximum = 0;
};
uint64_t EncodeSettingReading(SettingReading r);
SettingReading DecodeSettingReading(uint64_t word);

// ---- Duty cycle ----
// hwmon's pwm scale is 0..255.
uint8_t PercentToPwm(uint8_t percent);  // percent above 100 reads as 100
uint8_t PwmToPercent(uint8_t pwm);

}  // namespace vantrel::fwcode
