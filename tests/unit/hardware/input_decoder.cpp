// The launcher key's input rules: raw keyboard records, the controller's
// report, recorded evdev event streams, HID report descriptors and uevents.
#include "hardware/input/input.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

namespace hw = vantrel::hw;

constexpr uint16_t kVkShift = 0x10, kVkControl = 0x11, kVkLShift = 0xA0, kVkRShift = 0xA1, kVkRControl = 0xA3;

TEST(RawKeyboard, ModifiersAndTheKey) {
  hw::ModifierState s;
  EXPECT_FALSE(hw::OnRawKeyboard(s, kVkControl, 0x1D, 0));
  EXPECT_TRUE(s.ctrl);
  hw::OnRawKeyboard(s, kVkControl, 0x1D, 1);  // break clears
  EXPECT_FALSE(s.ctrl);
  hw::OnRawKeyboard(s, kVkRControl, 0x1D, 2);  // right Ctrl: make with E0 sets
  EXPECT_TRUE(s.ctrl);
  hw::OnRawKeyboard(s, kVkControl, 0x1D, 3);  // right Ctrl break
  EXPECT_FALSE(s.ctrl);
  hw::OnRawKeyboard(s, kVkControl, 0x1D, 4);  // E1 flag: not a plain make
  EXPECT_FALSE(s.ctrl);

  hw::OnRawKeyboard(s, kVkLShift, 0x2A, 0);
  EXPECT_TRUE(s.shift);
  hw::OnRawKeyboard(s, kVkShift, 0x2A, 2);  // other flags leave Shift
  EXPECT_TRUE(s.shift);
  hw::OnRawKeyboard(s, kVkRShift, 0x36, 1);
  EXPECT_FALSE(s.shift);
  hw::OnRawKeyboard(s, kVkShift, 0x2A, 3);
  EXPECT_FALSE(s.shift);

  // The launcher key acts on its E0 break only.
  EXPECT_FALSE(hw::OnRawKeyboard(s, 0xFF, 0x75, 2));
  EXPECT_TRUE(hw::OnRawKeyboard(s, 0xFF, 0x75, 3));
  EXPECT_FALSE(hw::OnRawKeyboard(s, 0xFF, 0x75, 1));
  EXPECT_FALSE(hw::OnRawKeyboard(s, 0xFF, 0x74, 3));
}

TEST(RawKeyboard, ControllerReport) {
  const uint8_t key[] = {0x05, 0x81, 0xFF, 0x00};
  const uint8_t other[] = {0x05, 0x81, 0xFE};
  const uint8_t shorter[] = {0x05, 0x81};
  EXPECT_TRUE(hw::IsControllerKeyReport(key));
  EXPECT_FALSE(hw::IsControllerKeyReport(other));
  EXPECT_FALSE(hw::IsControllerKeyReport(shorter));
  EXPECT_FALSE(hw::IsControllerKeyReport({}));
}

struct Ev {
  uint16_t type, code;
  int32_t value;
};
constexpr uint16_t SYN = 0, KEY = 1, MSC = 4, SCAN = 4;

// Feeds a recorded stream; returns the modifier state seen at each launcher key.
std::vector<hw::ModifierState> Replay(hw::EvdevKeyDecoder& d, const std::vector<Ev>& events) {
  std::vector<hw::ModifierState> keys;
  for (const Ev& e : events) {
    if (d.Feed(e.type, e.code, e.value)) keys.push_back(d.state());
  }
  return keys;
}

TEST(EvdevDecoder, RecordedStreams) {
  // An AT keyboard with the key mapped (hwdb): press and release of E0 75
  // (atkbd's scan code 0xF5), Ctrl held around the second press.
  hw::EvdevKeyDecoder d;
  const std::vector<Ev> stream = {
      {MSC, SCAN, 0xF5}, {KEY, 148, 1}, {SYN, 0, 0},  {MSC, SCAN, 0xF5}, {KEY, 148, 0}, {SYN, 0, 0},
      {MSC, SCAN, 0x1D}, {KEY, 29, 1},  {SYN, 0, 0},  {MSC, SCAN, 0xF5}, {KEY, 148, 1}, {SYN, 0, 0},
      {MSC, SCAN, 0xF5}, {KEY, 148, 0}, {SYN, 0, 0},  {MSC, SCAN, 0x1D}, {KEY, 29, 0},  {SYN, 0, 0},
      // Right Shift with autorepeat, then the key with the E0 prefix kept (0xE075).
      {KEY, 54, 1},      {KEY, 54, 2},  {SYN, 0, 0},  {MSC, SCAN, 0xE075}, {KEY, 200, 0}, {SYN, 0, 0},
      {KEY, 54, 0},      {SYN, 0, 0},
      // Another key released in a frame after the scan code's frame: not the key.
      {MSC, SCAN, 0xF5}, {SYN, 0, 0},   {KEY, 30, 0}, {SYN, 0, 0},
  };
  const auto keys = Replay(d, stream);
  ASSERT_EQ(keys.size(), 3u);
  EXPECT_FALSE(keys[0].ctrl);
  EXPECT_FALSE(keys[0].shift);
  EXPECT_TRUE(keys[1].ctrl);
  EXPECT_TRUE(keys[2].shift);
  EXPECT_FALSE(keys[2].ctrl);
  EXPECT_FALSE(d.state().shift);
}

TEST(EvdevDecoder, ModifiersAreSharedAcrossDevices) {
  hw::ModifierState shared;
  hw::EvdevKeyDecoder keyboard(&shared), hotkeys(&shared);
  Replay(keyboard, {{KEY, 97, 1}, {SYN, 0, 0}});  // right Ctrl on the keyboard
  const auto keys = Replay(hotkeys, {{MSC, SCAN, 0xF5}, {KEY, 148, 0}, {SYN, 0, 0}});
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_TRUE(keys[0].ctrl);
}

TEST(HidDescriptor, FeatureReportLength) {
  // Vendor page 0xFF00, report id 5: 8 bytes of feature data -> 9 with the id.
  const std::vector<uint8_t> controller = {
      0x06, 0x00, 0xFF,  // Usage Page (vendor)
      0x09, 0x01,        // Usage
      0xA1, 0x01,        // Collection (application)
      0x85, 0x05,        // Report ID 5
      0x75, 0x08,        // Report Size 8
      0x95, 0x08,        // Report Count 8
      0xB1, 0x02,        // Feature
      0x85, 0x06,        // Report ID 6
      0x95, 0x02,        // Report Count 2
      0xB1, 0x02,        // Feature (shorter)
      0x95, 0x3F,        // Report Count 63
      0x81, 0x02,        // Input: not counted
      0xC0,              // End Collection
  };
  EXPECT_EQ(hw::FeatureReportLength(controller), 9u);
  // Without report ids the id byte is still counted; Push/Pop restore globals.
  const std::vector<uint8_t> plain = {0x75, 0x01, 0x95, 0x0C, 0xA4, 0x95, 0x40, 0xB4, 0xB1, 0x02};
  EXPECT_EQ(hw::FeatureReportLength(plain), 3u);  // 12 bits -> 2 bytes + 1
  EXPECT_EQ(hw::FeatureReportLength({}), 0u);
  // Cut and damaged descriptors are read as far as they go.
  const std::vector<uint8_t> cut = {0x75, 0x08, 0x95, 0x08, 0xB1, 0x02, 0x97, 0xFF};
  EXPECT_EQ(hw::FeatureReportLength(cut), 9u);
  const std::vector<uint8_t> long_item = {0xFE, 0x02, 0x10, 0xAA, 0xBB, 0x75, 0x08, 0x95, 0x01, 0xB1, 0x02};
  EXPECT_EQ(hw::FeatureReportLength(long_item), 2u);
  const std::vector<uint8_t> pops = {0xB4, 0xB4, 0x75, 0x08, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0xB1, 0x02};
  EXPECT_GT(hw::FeatureReportLength(pops), 1u);
}

// Declared sizes past any real report must read as too long, never wrap to a
// small length (the controller is recognised by its exact length of 9).
TEST(HidDescriptor, HugeDeclaredSizesDoNotWrap) {
  const std::vector<uint8_t> max_item = {0x77, 0xFF, 0xFF, 0xFF, 0xFF,   // Report Size 2^32 - 1
                                         0x97, 0xFF, 0xFF, 0xFF, 0xFF,   // Report Count 2^32 - 1
                                         0xB1, 0x02};                    // Feature
  auto with = [&](std::vector<uint8_t> tail) {
    std::vector<uint8_t> d = max_item;
    d.insert(d.end(), tail.begin(), tail.end());
    return d;
  };
  const std::vector<std::pair<const char*, std::vector<uint8_t>>> cases = {
      // (2^32 - 1)^2 + 5 * 0x66666673 bits = 2^64 + 64: a 64-bit sum wraps to 9 bytes.
      {"sum wraps to the controller's length", with({0x75, 0x05, 0x97, 0x73, 0x66, 0x66, 0x66, 0xB1, 0x02})},
      // (2^32 - 1)^2 + 2 * (2^32 - 1) bits = 2^64 - 1: rounding up to bytes wraps.
      {"rounding wraps", with({0x75, 0x02, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0xB1, 0x02})},
      {"many maximal items", with({0xB1, 0x02, 0xB1, 0x02, 0xB1, 0x02, 0xB1, 0x02})},
  };
  for (const auto& [name, descriptor] : cases) {
    EXPECT_GT(hw::FeatureReportLength(descriptor), uint64_t{1} << 60) << name;
  }
}

TEST(HidDescriptor, UeventIds) {
  EXPECT_EQ(hw::HidIdFromUevent("DRIVER=hid-generic\nHID_ID=0003:00003A71:0000174B\nHID_NAME=x\n"),
            std::make_pair(uint16_t{0x3A71}, uint16_t{0x174B}));
  EXPECT_EQ(hw::HidIdFromUevent("HID_ID=0018:000004F3:00003193"), std::make_pair(uint16_t{0x04F3}, uint16_t{0x3193}));
  EXPECT_EQ(hw::HidIdFromUevent("HID_NAME=x\n"), std::nullopt);
  EXPECT_EQ(hw::HidIdFromUevent("HID_ID=0003:00013A71:0000174B\n"), std::nullopt);
  EXPECT_EQ(hw::HidIdFromUevent("HID_ID=0003:" + std::string(100, 'F') + ":1\n"), std::nullopt);
  EXPECT_EQ(hw::HidIdFromUevent("HID_ID=0003:3A71\n"), std::nullopt);
}

}  // namespace
