#include "hardware/input/input.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <vector>

namespace vantrel::hw {
namespace {

std::atomic<bool> g_controller{false};

// Windows virtual keys.
constexpr uint16_t kVkShift = 0x10, kVkControl = 0x11, kVkLShift = 0xA0, kVkRShift = 0xA1, kVkLControl = 0xA2,
                   kVkRControl = 0xA3;

// Linux input event codes.
constexpr uint16_t kEvSyn = 0x00, kEvKey = 0x01, kEvMsc = 0x04, kMscScan = 0x04;
constexpr uint16_t kKeyLeftCtrl = 29, kKeyRightCtrl = 97, kKeyLeftShift = 42, kKeyRightShift = 54;

}  // namespace

bool KeyboardControllerFlag() { return g_controller.load(); }
void SetKeyboardControllerFlag(bool present) { g_controller.store(present); }

bool OnRawKeyboard(ModifierState& state, uint16_t virtual_key, uint16_t scan_code, uint16_t flags) {
  if (virtual_key == kVkControl || virtual_key == kVkLControl || virtual_key == kVkRControl) {
    state.ctrl = (flags & ~rawkey::kE0) == 0;
  }
  if (virtual_key == kVkShift || virtual_key == kVkLShift || virtual_key == kVkRShift) {
    if (flags == 0) state.shift = true;
    if (flags == rawkey::kBreak) state.shift = false;
  }
  return scan_code == rawkey::kLauncherScanCode && flags == (rawkey::kBreak | rawkey::kE0);
}

bool IsControllerKeyReport(std::span<const uint8_t> report) {
  return report.size() >= 3 && report[1] == 0x81 && report[2] == 0xFF;
}

bool EvdevKeyDecoder::Feed(uint16_t type, uint16_t code, int32_t value) {
  if (type == kEvSyn) {
    scan_seen_ = false;
    return false;
  }
  if (type == kEvMsc && code == kMscScan) {
    scan_seen_ = value == 0xF5 || value == 0xE075;
    return false;
  }
  if (type != kEvKey) return false;
  // 1 press, 2 autorepeat (Windows repeats as makes), 0 release.
  if (code == kKeyLeftCtrl || code == kKeyRightCtrl) state_->ctrl = value != 0;
  if (code == kKeyLeftShift || code == kKeyRightShift) state_->shift = value != 0;
  if (scan_seen_ && value == 0) {
    scan_seen_ = false;
    return true;
  }
  return false;
}

size_t FeatureReportLength(std::span<const uint8_t> d) {
  struct Globals {
    uint32_t report_size = 0;
    uint32_t report_count = 0;
    uint32_t report_id = 0;
  };
  Globals g;
  std::vector<Globals> stack;
  std::map<uint32_t, uint64_t> feature_bits;  // per report id
  size_t i = 0;
  while (i < d.size()) {
    const uint8_t prefix = d[i];
    if (prefix == 0xFE) {  // long item: size byte, tag byte, data
      if (i + 1 >= d.size()) break;
      i += 3 + d[i + 1];
      continue;
    }
    const size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
    if (i + 1 + size > d.size()) break;
    uint32_t data = 0;
    for (size_t k = 0; k < size; ++k) data |= static_cast<uint32_t>(d[i + 1 + k]) << (8 * k);
    const uint8_t tag = prefix & 0xFC;
    switch (tag) {
      case 0x74: g.report_size = data; break;   // Report Size
      case 0x94: g.report_count = data; break;  // Report Count
      case 0x84: g.report_id = data; break;     // Report ID
      case 0xA4:                                // Push
        if (stack.size() < 64) stack.push_back(g);
        break;
      case 0xB4:  // Pop
        if (!stack.empty()) {
          g = stack.back();
          stack.pop_back();
        }
        break;
      case 0xB0: {  // Feature
        // Saturating: a declared size past what any report can hold must stay
        // too large, never wrap round to a small (plausible) length.
        uint64_t& bits = feature_bits[g.report_id];
        const uint64_t item = static_cast<uint64_t>(g.report_size) * g.report_count;  // < 2^64
        bits = item > UINT64_MAX - bits ? UINT64_MAX : bits + item;
        break;
      }
      default:
        break;
    }
    i += 1 + size;
  }
  size_t longest = 0;
  for (const auto& [id, bits] : feature_bits) {
    const uint64_t bytes = bits / 8 + (bits % 8 != 0 ? 1 : 0) + 1;  // no overflow at UINT64_MAX
    if (bytes > longest) longest = static_cast<size_t>(std::min<uint64_t>(bytes, SIZE_MAX));
  }
  return longest;
}

std::optional<std::pair<uint16_t, uint16_t>> HidIdFromUevent(const std::string& uevent) {
  size_t pos = 0;
  while (pos < uevent.size()) {
    size_t end = uevent.find('\n', pos);
    if (end == std::string::npos) end = uevent.size();
    const std::string line = uevent.substr(pos, end - pos);
    pos = end + 1;
    if (line.rfind("HID_ID=", 0) != 0) continue;
    // bus:vendor:product, each hex of at most 8 digits.
    uint32_t fields[3] = {};
    size_t field = 0, digits = 0;
    for (size_t k = 7; k < line.size(); ++k) {
      const char c = line[k];
      int v = -1;
      if (c >= '0' && c <= '9') v = c - '0';
      if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
      if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
      if (v >= 0) {
        if (++digits > 8) return std::nullopt;
        fields[field] = fields[field] * 16 + static_cast<uint32_t>(v);
      } else if (c == ':' && digits > 0 && field < 2) {
        ++field;
        digits = 0;
      } else if (c != '\r' || k + 1 != line.size()) {
        return std::nullopt;
      }
    }
    if (field != 2 || digits == 0 || fields[1] > 0xFFFF || fields[2] > 0xFFFF) return std::nullopt;
    return std::make_pair(static_cast<uint16_t>(fields[1]), static_cast<uint16_t>(fields[2]));
  }
  return std::nullopt;
}

}  // namespace vantrel::hw
