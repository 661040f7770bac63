// The Linux firmware value words: what each bit field carries, and the words
// that must be refused rather than half-read.
#include <gtest/gtest.h>

#include "common/fw_encoding.h"

namespace code = vantrel::fwcode;

TEST(FwEncoding, ProfileNamesAndIdsMatchTheKernelTexts) {
  for (uint8_t id = 1; id <= code::kProfileLast; ++id) {
    EXPECT_EQ(code::ProfileId(code::ProfileName(id)), id);
  }
  EXPECT_EQ(code::ProfileName(static_cast<uint8_t>(code::Profile::kBalancedPerformance)), "balanced-performance");
  EXPECT_EQ(code::ProfileName(static_cast<uint8_t>(code::Profile::kLowPower)), "low-power");
  EXPECT_EQ(code::ProfileName(0), "");
  EXPECT_EQ(code::ProfileName(code::kProfileLast + 1), "");
  for (const char* unknown : {"", "Balanced", "balanced ", "turbo"}) EXPECT_EQ(code::ProfileId(unknown), std::nullopt);
}

TEST(FwEncoding, SetWordsRoundTripAndPlaceTheirFields) {
  EXPECT_EQ(code::EncodeFanBehavior({3, code::FanMode::kManual}), 0x0203u);
  const auto b = code::DecodeFanBehavior(0x0102);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->fan, 2);
  EXPECT_EQ(b->mode, code::FanMode::kFull);

  EXPECT_EQ(code::EncodeFanSpeed({1, 100}), 0x6401u);
  EXPECT_EQ(code::DecodeFanSpeed(0x3202)->percent, 50);

  const code::CurvePoint point{2, 4, 75, 80, 0};
  EXPECT_EQ(code::EncodeCurveSet(point), 0x504B0402u);
  const auto back = code::DecodeCurveSet(code::EncodeCurveSet(point));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->celsius, 75);
  EXPECT_EQ(back->percent, 80);

  EXPECT_EQ(code::EncodeSetting({2, 0x1234}), 0x12340002u);
  EXPECT_EQ(code::DecodeSetting(0x00500001)->value, 80);
}

TEST(FwEncoding, StrayBitsAndOutOfRangeFieldsAreRefused) {
  const uint64_t refused_fan_behavior[] = {0x0301, 0x10001, uint64_t{1} << 40};
  for (uint64_t w : refused_fan_behavior) EXPECT_EQ(code::DecodeFanBehavior(w), std::nullopt) << std::hex << w;
  const uint64_t refused_speed[] = {0x6501, 0xFF01, 0x10000};
  for (uint64_t w : refused_speed) EXPECT_EQ(code::DecodeFanSpeed(w), std::nullopt) << std::hex << w;
  const uint64_t refused_curve[] = {0x65000101, 0x100000000ull, 0x01000001 /* a selection with a duty */};
  for (uint64_t w : refused_curve) EXPECT_EQ(code::DecodeCurveSet(w), std::nullopt) << std::hex << w;
  // Bits 8..15 of a setting word are not a field.
  EXPECT_EQ(code::DecodeSetting(0x0101), std::nullopt);
  EXPECT_EQ(code::DecodeSetting(0x100000001ull), std::nullopt);
}

TEST(FwEncoding, ReadingsKeepTheirFieldsApart) {
  const uint64_t reading = code::EncodeFanReading({42, 4321});
  EXPECT_EQ(code::DecodeFanReading(reading).percent, 42);
  EXPECT_EQ(code::DecodeFanReading(reading).rpm, 4321u);
  // An absurd rpm is clamped to its field instead of spilling into others.
  EXPECT_EQ(code::EncodeFanReading({0, 0x7FFFFFFF}) >> 32, 0u);

  const auto curve = code::DecodeCurveRead(code::EncodeCurveRead({1, 3, 90, 100, 5}));
  EXPECT_EQ(curve.point, 3);
  EXPECT_EQ(curve.count, 5);
  EXPECT_EQ(code::DecodeSettingReading(code::EncodeSettingReading({3, 0xFFFF})).maximum, 0xFFFF);
}

TEST(FwEncoding, DutyPercentAndPwmConvertBothWays) {
  EXPECT_EQ(code::PercentToPwm(0), 0);
  EXPECT_EQ(code::PercentToPwm(100), 255);
  EXPECT_EQ(code::PercentToPwm(200), 255);
  EXPECT_EQ(code::PwmToPercent(255), 100);
  EXPECT_EQ(code::PwmToPercent(128), 50);
  for (uint8_t p = 0; p <= 100; ++p) EXPECT_EQ(code::PwmToPercent(code::PercentToPwm(p)), p);
}
