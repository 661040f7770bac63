// The lighting service's reply: every field read from its fixed offset only as
// far as the reply reaches, recomputed byte by byte; and the brightness level
// derived from it.
#include <cstring>

#include "agent/hwclient/hardware_client.h"
#include "agent/relay/event_relay.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace agent = vantrel::agent;

uint8_t At(std::span<const uint8_t> r, size_t i) { return i < r.size() ? r[i] : 0; }

uint32_t U32(std::span<const uint8_t> r, size_t at) {
  return At(r, at) | (At(r, at + 1) << 8) | (At(r, at + 2) << 16) | (static_cast<uint32_t>(At(r, at + 3)) << 24);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> reply(data, size);
  const agent::LightingStatus s = agent::DecodeLightingReply(reply);

  for (size_t i = 0; i < agent::kLightingDeviceRecordSize; ++i) FUZZ_CHECK(s.device_record[i] == At(reply, 13 + i));
  FUZZ_CHECK(s.argument3 == U32(reply, 67));
  FUZZ_CHECK(s.argument5 == U32(reply, 83));
  FUZZ_CHECK(s.brightness == U32(reply, 91));

  // Only whole records the reply holds, at most 30, and none for a count of 0.
  const size_t held = size > 99 ? (size - 99) / agent::kLightingRecordSize : 0;
  const size_t want = std::min<size_t>({U32(reply, 75), agent::kLightingMaxRecords, held});
  FUZZ_CHECK(s.record_count == want);
  for (size_t i = 0; i < s.records.size(); ++i) {
    FUZZ_CHECK(s.records[i] == (i < want * agent::kLightingRecordSize ? reply[99 + i] : 0));
  }

  const int32_t level = agent::brightness_level(s);
  FUZZ_CHECK(level >= 1 && level <= 5);
  static constexpr uint32_t kKnown[] = {100, 75, 50, 37, 25, 12};
  if (std::find(std::begin(kKnown), std::end(kKnown), s.brightness) == std::end(kKnown)) FUZZ_CHECK(level == 1);
  return 0;
}
