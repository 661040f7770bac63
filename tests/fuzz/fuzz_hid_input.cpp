// The keyboard controller's inputs: report descriptors (the feature report
// length recomputed with 128-bit sums, so a wrapped 64-bit total shows), the
// hidraw uevent identity, controller reports, and evdev and raw-keyboard
// records against a model of the launcher key.
#include <fuzzer/FuzzedDataProvider.h>

#include <map>
#include <string>
#include <vector>

#include "hardware/input/input.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace hw = vantrel::hw;
using u128 = unsigned __int128;

// HidP_GetCaps' count: per report id, bits of every Feature item, in bytes
// rounded up plus the id byte; the longest. Push keeps at most 64 levels.
u128 ReferenceFeatureLength(std::span<const uint8_t> d, bool* past_64_bits) {
  struct G {
    uint64_t size = 0, count = 0, id = 0;
  } g;
  std::vector<G> stack;
  std::map<uint64_t, u128> bits;
  for (size_t i = 0; i < d.size();) {
    if (d[i] == 0xFE) {
      if (i + 1 >= d.size()) break;
      i += 3 + static_cast<size_t>(d[i + 1]);
      continue;
    }
    const size_t n = (d[i] & 3) == 3 ? 4 : (d[i] & 3);
    if (i + 1 + n > d.size()) break;
    uint64_t v = 0;
    for (size_t k = n; k-- > 0;) v = (v << 8) | d[i + 1 + k];
    switch (d[i] & 0xFC) {
      case 0x74: g.size = v; break;
      case 0x94: g.count = v; break;
      case 0x84: g.id = v; break;
      case 0xA4: if (stack.size() < 64) stack.push_back(g); break;
      case 0xB4: if (!stack.empty()) { g = stack.back(); stack.pop_back(); } break;
      case 0xB0: bits[g.id] += static_cast<u128>(g.size) * g.count; break;
      default: break;
    }
    i += 1 + n;
  }
  u128 longest = 0;
  *past_64_bits = false;
  for (const auto& [id, b] : bits) {
    longest = std::max(longest, (b + 7) / 8 + 1);
    if (b > UINT64_MAX) *past_64_bits = true;
  }
  return longest;
}

void CheckDescriptor(std::span<const uint8_t> d) {
  bool past_64_bits = false;
  const u128 want = ReferenceFeatureLength(d, &past_64_bits);
  const size_t got = hw::FeatureReportLength(d);
  if (!past_64_bits) {
    FUZZ_CHECK(got == want);
  } else {
    // A bit count past 64 bits may saturate or clamp, but must stay too large
    // for any real report: never wrap round to a small, plausible length.
    FUZZ_CHECK(got >= UINT64_MAX / 8);
  }
}

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

std::optional<std::pair<uint16_t, uint16_t>> ReferenceHidId(const std::string& text) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.compare(0, 7, "HID_ID=") != 0) {
      continue;
    }
    std::string rest = line.substr(7);
    if (!rest.empty() && rest.back() == '\r') rest.pop_back();
    std::vector<std::string> parts(1);
    for (char c : rest) {
      if (c == ':') parts.emplace_back();
      else parts.back() += c;
    }
    if (parts.size() != 3) return std::nullopt;
    unsigned long v[3];
    for (int i = 0; i < 3; ++i) {
      if (parts[i].empty() || parts[i].size() > 8) return std::nullopt;
      for (char c : parts[i]) if (!IsHex(c)) return std::nullopt;
      v[i] = std::stoul(parts[i], nullptr, 16);
    }
    if (v[1] > 0xFFFF || v[2] > 0xFFFF) return std::nullopt;
    return std::make_pair(static_cast<uint16_t>(v[1]), static_cast<uint16_t>(v[2]));
  }
  return std::nullopt;
}

// evdev: modifiers follow the last key event of their codes; the launcher key
// fires on a key release in the same frame as its scan code, once.
void CheckEvdev(FuzzedDataProvider& in) {
  hw::ModifierState shared;
  hw::EvdevKeyDecoder decoder(&shared);
  bool model_scan = false, model_ctrl = false, model_shift = false;
  while (in.remaining_bytes() >= 3) {
    static constexpr uint16_t kTypes[] = {0, 1, 4, 2, 3};
    const uint16_t type = kTypes[in.ConsumeIntegralInRange<int>(0, 4)];
    const uint16_t code = in.ConsumeBool() ? in.PickValueInArray<uint16_t>({4, 29, 97, 42, 54, 30, 183})
                                           : in.ConsumeIntegral<uint16_t>();
    const int32_t value = in.ConsumeBool() ? in.PickValueInArray<int32_t>({0, 1, 2, 0xF5, 0xE075})
                                           : in.ConsumeIntegral<int32_t>();
    bool fires = false;
    if (type == 0) {
      model_scan = false;
    } else if (type == 4 && code == 4) {
      model_scan = value == 0xF5 || value == 0xE075;
    } else if (type == 1) {
      if (code == 29 || code == 97) model_ctrl = value != 0;
      if (code == 42 || code == 54) model_shift = value != 0;
      fires = model_scan && value == 0;
      if (fires) model_scan = false;
    }
    FUZZ_CHECK(decoder.Feed(type, code, value) == fires);
    FUZZ_CHECK(shared.ctrl == model_ctrl && shared.shift == model_shift);
  }
}

void CheckRawKeyboard(FuzzedDataProvider& in) {
  hw::ModifierState state;
  while (in.remaining_bytes() >= 6) {
    const uint16_t vk = in.ConsumeBool() ? in.PickValueInArray<uint16_t>({0x10, 0x11, 0xA0, 0xA1, 0xA2, 0xA3, 0x41})
                                         : in.ConsumeIntegral<uint16_t>();
    const uint16_t scan = in.ConsumeBool() ? 0x75 : in.ConsumeIntegral<uint16_t>();
    const uint16_t flags = in.ConsumeIntegralInRange<uint16_t>(0, 7);
    const hw::ModifierState before = state;
    const bool fires = hw::OnRawKeyboard(state, vk, scan, flags);
    FUZZ_CHECK(fires == (scan == 0x75 && flags == 3));
    const bool modifier = vk == 0x10 || vk == 0x11 || (vk >= 0xA0 && vk <= 0xA3);
    if (!modifier) FUZZ_CHECK(state.ctrl == before.ctrl && state.shift == before.shift);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::span<const uint8_t> rest(data + 1, size - 1);
  switch (data[0] % 4) {
    case 0:
      CheckDescriptor(rest);
      break;
    case 1: {
      const std::string text(rest.begin(), rest.end());
      FUZZ_CHECK(hw::HidIdFromUevent(text) == ReferenceHidId(text));
      FUZZ_CHECK(hw::IsControllerKeyReport(rest) == (rest.size() >= 3 && rest[1] == 0x81 && rest[2] == 0xFF));
      break;
    }
    case 2: {
      FuzzedDataProvider in(rest.data(), rest.size());
      CheckEvdev(in);
      break;
    }
    default: {
      FuzzedDataProvider in(rest.data(), rest.size());
      CheckRawKeyboard(in);
      break;
    }
  }
  return 0;
}
