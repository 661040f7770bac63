#include "common/fw_encoding.h"

#include <array>

namespace vantrel::fwcode {
namespace {

// Indexed by profile id; the names are the kernel's platform_profile texts.
constexpr std::array<std::string_view, kProfileLast + 1> kProfileNames = {
    "", "low-power", "cool", "quiet", "balanced", "balanced-performance", "performance", "custom", "max-power",
};

constexpr uint8_t Byte(uint64_t word, unsigned index) { return static_cast<uint8_t>((word >> (8 * index)) & 0xFF); }

// True when no bit outside `used` is set.
constexpr bool OnlyBits(uint64_t word, uint64_t used) { return (word & ~used) == 0; }

}  // namespace

std::string_view ProfileName(uint8_t id) { return id <= kProfileLast ? kProfileNames[id] : std::string_view(); }

std::optional<uint8_t> ProfileId(std::string_view name) {
  if (name.empty()) return std::nullopt;
  for (uint8_t id = 1; id <= kProfileLast; ++id) {
    if (kProfileNames[id] == name) return id;
  }
  return std::nullopt;
}

std::string_view FanModeName(uint64_t mode) {
  switch (mode) {
    case static_cast<uint8_t>(FanMode::kAuto): return "auto";
    case static_cast<uint8_t>(FanMode::kFull): return "full";
    case static_cast<uint8_t>(FanMode::kManual): return "manual";
    default: return "unknown";
  }
}

uint64_t EncodeFanBehavior(FanBehavior b) {
  return static_cast<uint64_t>(b.fan) | static_cast<uint64_t>(static_cast<uint8_t>(b.mode)) << 8;
}

std::optional<FanBehavior> DecodeFanBehavior(uint64_t word) {
  if (!OnlyBits(word, 0xFFFF)) return std::nullopt;
  const uint8_t mode = Byte(word, 1);
  if (mode > static_cast<uint8_t>(FanMode::kManual)) return std::nullopt;
  return FanBehavior{Byte(word, 0), static_cast<FanMode>(mode)};
}

uint64_t EncodeFanSpeed(FanSpeed s) { return static_cast<uint64_t>(s.fan) | static_cast<uint64_t>(s.percent) << 8; }

std::optional<FanSpeed> DecodeFanSpeed(uint64_t word) {
  if (!OnlyBits(word, 0xFFFF) || Byte(word, 1) > 100) return std::nullopt;
  return FanSpeed{Byte(word, 0), Byte(word, 1)};
}

uint64_t EncodeFanReading(FanReading r) {
  const uint64_t rpm = r.rpm > 0xFFFFFF ? 0xFFFFFF : r.rpm;
  return static_cast<uint64_t>(r.percent) | rpm << 8;
}

FanReading DecodeFanReading(uint64_t word) {
  return FanReading{Byte(word, 0), static_cast<uint32_t>((word >> 8) & 0xFFFFFF)};
}

uint64_t EncodeCurveSet(CurvePoint p) {
  return static_cast<uint64_t>(p.fan) | static_cast<uint64_t>(p.point) << 8 |
         static_cast<uint64_t>(p.celsius) << 16 | static_cast<uint64_t>(p.percent) << 24;
}

std::optional<CurvePoint> DecodeCurveSet(uint64_t word) {
  if (!OnlyBits(word, 0xFFFFFFFF)) return std::nullopt;
  CurvePoint p{Byte(word, 0), Byte(word, 1), Byte(word, 2), Byte(word, 3), 0};
  if (p.point == 0) {
    // A selection names the fan and the point to read next, nothing else.
    if (p.percent != 0) return std::nullopt;
    return p;
  }
  if (p.percent > 100) return std::nullopt;
  return p;
}

uint64_t EncodeCurveRead(CurvePoint p) { return EncodeCurveSet(p) | static_cast<uint64_t>(p.count) << 32; }

CurvePoint DecodeCurveRead(uint64_t word) {
  return CurvePoint{Byte(word, 0), Byte(word, 1), Byte(word, 2), Byte(word, 3), Byte(word, 4)};
}

uint64_t EncodeSetting(SettingValue s) { return static_cast<uint64_t>(s.setting) | static_cast<uint64_t>(s.value) << 16; }

std::optional<SettingValue> DecodeSetting(uint64_t word) {
  if (!OnlyBits(word, 0xFFFF00FF)) return std::nullopt;
  return SettingValue{Byte(word, 0), static_cast<uint16_t>((word >> 16) & 0xFFFF)};
}

uint64_t EncodeSettingReading(SettingReading r) {
  return static_cast<uint64_t>(r.value) | static_cast<uint64_t>(r.maximum) << 16;
}

SettingReading DecodeSettingReading(uint64_t word) {
  return SettingReading{static_cast<uint16_t>(word & 0xFFFF), static_cast<uint16_t>((word >> 16) & 0xFFFF)};
}

uint8_t PercentToPwm(uint8_t percent) {
  const unsigned p = percent > 100 ? 100 : percent;
  return static_cast<uint8_t>((p * 255 + 50) / 100);
}

uint8_t PwmToPercent(uint8_t pwm) { return static_cast<uint8_t>((pwm * 100u + 127) / 255); }

}  // namespace vantrel::fwcode
