// Both SMBIOS walkers (the hardware service's capability search and the
// agent's memory speed). Tables built from the input as well-formed structure
// lists have exact expected answers; raw bytes are checked for answers that
// lie inside the table and for the two walkers agreeing.
#include <fuzzer/FuzzedDataProvider.h>

#include <optional>
#include <vector>

#include "agent/metrics/counter_math.h"
#include "common/smbios.h"
#include "hardware/firmware/smbios.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace fw = velmont::firmware;

struct Structure {
  size_t offset;                  // of the formatted area within the table
  std::vector<uint8_t> formatted; // header included
};

uint32_t U16(const std::vector<uint8_t>& f, size_t at) { return f[at] | (f[at + 1] << 8); }

// The type 17 rule: an installed device (size != 0) with a known speed; 0xFFFF
// defers to the 32-bit extended speed when the structure is long enough.
uint32_t ExpectedSpeed(const std::vector<Structure>& list) {
  for (const Structure& s : list) {
    const auto& f = s.formatted;
    if (f[0] == 17 && f.size() >= 0x22) {
      uint32_t mhz = U16(f, 0x20);
      if (mhz == 0xFFFF && f.size() >= 0x5C) mhz = U16(f, 0x58) | (U16(f, 0x5A) << 16);
      if (U16(f, 0x0C) != 0 && mhz != 0 && mhz != 0xFFFF) return mhz;
    }
    if (f[0] == 127) break;
  }
  return 0;
}

std::optional<uint16_t> ExpectedEntry(const std::vector<uint8_t>& f, uint8_t id) {
  for (size_t at = 6; f.size() >= 6 && at + 3 <= f.size(); at += 3) {
    if (f[at] == id) return static_cast<uint16_t>(U16(f, at + 1));
  }
  return std::nullopt;
}

void CheckBuilt(FuzzedDataProvider& in) {
  std::vector<uint8_t> table;
  std::vector<Structure> list;
  while (in.remaining_bytes() > 0 && list.size() < 64) {
    const uint8_t type = in.ConsumeBool() ? in.PickValueInArray<uint8_t>({17, 0xAC, 127, 1}) : in.ConsumeIntegral<uint8_t>();
    const uint8_t length = in.ConsumeIntegralInRange<uint8_t>(4, 255);
    Structure s{table.size(), {type, length}};
    for (size_t k = 2; k < length; ++k) s.formatted.push_back(in.ConsumeIntegral<uint8_t>());
    table.insert(table.end(), s.formatted.begin(), s.formatted.end());
    const int strings = in.ConsumeIntegralInRange<int>(0, 3);
    for (int k = 0; k < strings; ++k) {
      std::string text = in.ConsumeRandomLengthString(16);
      for (char& c : text) if (c == '\0') c = 'x';
      if (text.empty()) text = "s";
      table.insert(table.end(), text.begin(), text.end());
      table.push_back(0);
    }
    if (strings == 0) table.push_back(0);
    table.push_back(0);
    list.push_back(std::move(s));
  }

  for (uint8_t type : {uint8_t{17}, fw::kOperationModeStructType, uint8_t{127}, uint8_t{1}}) {
    const Structure* want = nullptr;
    for (const Structure& s : list) {
      if (s.formatted[0] == type) { want = &s; break; }
      if (s.formatted[0] == 127) break;
    }
    const auto got = vantrel::smbios::FindStructure(table, type);
    FUZZ_CHECK(got.has_value() == (want != nullptr));
    if (!got) continue;
    FUZZ_CHECK(got->data() == table.data() + want->offset && got->size() == want->formatted.size());
    if (type == fw::kOperationModeStructType) {
      const auto entry = ExpectedEntry(want->formatted, fw::kOperationModeEntryId);
      FUZZ_CHECK(fw::FindCapabilityEntry(*got, fw::kOperationModeEntryId) == entry);
      FUZZ_CHECK(fw::OperationModeFromSmbios(table) == (entry == uint16_t{1} ? 1 : 0));
    }
  }
  FUZZ_CHECK(vantrel::agent::SmbiosConfiguredMemorySpeed(table) == ExpectedSpeed(list));
}

void CheckRaw(std::span<const uint8_t> table, uint8_t type) {
  const auto got = vantrel::smbios::FindStructure(table, type);
  if (got) {
    FUZZ_CHECK(got->data() >= table.data() && got->data() + got->size() <= table.data() + table.size());
    FUZZ_CHECK(got->size() >= 4 && (*got)[0] == type && (*got)[1] == got->size());
    (void)fw::FindCapabilityEntry(*got, type);
  }
  (void)fw::OperationModeFromSmbios(table);
  // A speed comes from a type 17 structure, which the other walker reaches too.
  if (vantrel::agent::SmbiosConfiguredMemorySpeed(table) != 0) FUZZ_CHECK(vantrel::smbios::FindStructure(table, 17));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  if (data[0] & 1) {
    FuzzedDataProvider in(data + 1, size - 1);
    CheckBuilt(in);
  } else {
    CheckRaw(std::span<const uint8_t>(data + 2, size - 2), data[1]);
  }
  return 0;
}
