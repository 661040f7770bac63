// Decoding of the hardware service's and the lighting service's replies.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "agent/hwclient/hardware_client.h"

namespace vantrel::agent {
namespace {

TEST(HwClientDecode, SensorInputsAndValues) {
  EXPECT_EQ(SensorInput(kSensorCpuTemperature), 0x0101u);
  EXPECT_EQ(SensorInput(kGpuFanSensors[1]), 0x0901u);
  EXPECT_EQ(SensorInput(kGpuTemperatureSensors[0]), 0x0A01u);
  EXPECT_EQ(SensorInput(kGpuFanSensors[3]), 0x1401u);

  EXPECT_EQ(SensorValue(0x0000000000003C00ull), std::optional<uint16_t>(60));
  EXPECT_EQ(SensorValue(0x0000000000003C01ull), std::nullopt);
  EXPECT_EQ(SensorValue(kSysInfoFailure), std::nullopt);
  // Only bits 8-23 are the reading.
  EXPECT_EQ(SensorValue(0xFFFFFFFFFF123400ull), std::optional<uint16_t>(0x1234));
}

std::vector<uint8_t> LightingReply(uint32_t count, size_t records_present, uint32_t brightness) {
  std::vector<uint8_t> r(99 + records_present * kLightingRecordSize, 0);
  std::memcpy(r.data() + 13, "Keyboard VantrelEC", 18);
  auto put = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) r[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  put(67, 0x11111111);
  put(75, count);
  put(83, 0x55555555);
  put(91, brightness);
  for (size_t i = 0; i < records_present; ++i) r[99 + i * kLightingRecordSize] = static_cast<uint8_t>(i + 1);
  return r;
}

TEST(HwClientDecode, LightingFieldsAndRecordLimit) {
  const std::vector<uint8_t> reply = LightingReply(40, 40, 75);
  const LightingStatus s = DecodeLightingReply(reply);
  EXPECT_EQ(std::memcmp(s.device_record.data(), "Keyboard VantrelEC", 18), 0);
  EXPECT_EQ(s.argument3, 0x11111111u);
  EXPECT_EQ(s.argument5, 0x55555555u);
  EXPECT_EQ(s.brightness, 75u);
  EXPECT_EQ(s.record_count, 30u);
  EXPECT_EQ(s.records[29 * kLightingRecordSize], 30);

  // The count claims more records than the reply carries.
  const LightingStatus partial = DecodeLightingReply(LightingReply(20, 3, 50));
  EXPECT_EQ(partial.record_count, 3u);
  EXPECT_EQ(partial.records[3 * kLightingRecordSize], 0);

  EXPECT_EQ(DecodeLightingReply(LightingReply(0, 2, 50)).record_count, 0u);
}

TEST(HwClientDecode, ShortLightingReplyIsReadWithinItsLength) {
  std::vector<uint8_t> reply = LightingReply(30, 0, 100);
  // Cut inside the brightness field: its two bytes that arrived are kept.
  std::vector<uint8_t> cut(reply.begin(), reply.begin() + 93);
  const LightingStatus s = DecodeLightingReply(cut);
  EXPECT_EQ(s.brightness, 100u);
  EXPECT_EQ(s.record_count, 0u);

  cut.assign(reply.begin(), reply.begin() + 20);
  const LightingStatus tiny = DecodeLightingReply(cut);
  EXPECT_EQ(std::memcmp(tiny.device_record.data(), "Keyboar", 7), 0);
  EXPECT_EQ(tiny.device_record[7], 0);
  EXPECT_EQ(tiny.brightness, 0u);
  EXPECT_EQ(DecodeLightingReply({}).brightness, 0u);
}

}  // namespace
}  // namespace vantrel::agent
