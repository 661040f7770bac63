// Walking raw SMBIOS tables to the operation-mode capability entry.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "common/smbios.h"
#include "hardware/firmware/smbios.h"
#include "tests/unit/hardware/fw_gpu_test_support.h"

using velmont::firmware::FindCapabilityEntry;
using vantrel::smbios::FindStructure;
using velmont::firmware::OperationModeFromSmbios;

namespace {

using Bytes = std::vector<uint8_t>;

// One structure: header (type, length, handle), the rest of the formatted
// area, then its string set.
Bytes Structure(uint8_t type, const Bytes& body, std::initializer_list<std::string> strings = {}) {
  Bytes out{type, static_cast<uint8_t>(4 + body.size()), 0x34, 0x12};
  out.insert(out.end(), body.begin(), body.end());
  for (const auto& s : strings) {
    out.insert(out.end(), s.begin(), s.end());
    out.push_back(0);
  }
  if (strings.size() == 0) out.push_back(0);
  out.push_back(0);
  return out;
}

// A type-0xAC structure with {id, value} entries after its two extra bytes.
Bytes Capability(std::initializer_list<std::pair<uint8_t, uint16_t>> entries,
                 std::initializer_list<std::string> strings = {}) {
  Bytes body{0xAA, 0xBB};
  for (auto [id, v] : entries) {
    body.push_back(id);
    body.push_back(static_cast<uint8_t>(v & 0xFF));
    body.push_back(static_cast<uint8_t>(v >> 8));
  }
  return Structure(0xAC, body, strings);
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kBios = Structure(0, Bytes(14, 0x01), {"Vantrel", "V1.07", "01/02/2026"});
const Bytes kSystem = Structure(1, Bytes(23, 0x00), {"Vantrel", "Gaming 17"});
const Bytes kEnd = Structure(127, {});

}  // namespace

TEST(SmbiosWalk, SkipsStringSetsToTheStructureWanted) {
  // Strings of every shape before the target: several, none, and text that
  // contains the target type's byte value.
  const Bytes table = Join({kBios, Structure(2, Bytes(4, 0), {}), Structure(3, {}, {"\xAC\xAC"}), kSystem,
                            Capability({{3, 7}, {15, 1}}), kEnd});
  auto found = FindStructure(table, 0xAC);
  ASSERT_TRUE(found);
  EXPECT_EQ((*found)[0], 0xAC);
  EXPECT_EQ(found->size(), 12u);
  EXPECT_EQ(FindCapabilityEntry(*found, 3), 7);
  EXPECT_EQ(FindCapabilityEntry(*found, 15), 1);
  EXPECT_FALSE(FindCapabilityEntry(*found, 4));
}

TEST(SmbiosWalk, StopsAtDamageEndOfTableAndTheEndOfData) {
  const Bytes cap = Capability({{15, 1}});
  // Type 0xAC missing altogether.
  EXPECT_FALSE(FindStructure(Join({kBios, kSystem, kEnd}), 0xAC));
  // Beyond the end-of-table structure lies no table.
  EXPECT_FALSE(FindStructure(Join({kBios, kEnd, cap}), 0xAC));
  // A formatted area running past the end of the data.
  Bytes cut = Join({kBios, cap});
  cut.resize(kBios.size() + 8);
  EXPECT_FALSE(FindStructure(cut, 0xAC));
  // A string set never closed: the next structure cannot be found.
  Bytes open = kBios;
  open.resize(open.size() - 2);
  EXPECT_FALSE(FindStructure(Join({open}), 0xAC));
  // A header length below 4 cannot be stepped over.
  Bytes bad = Structure(5, {});
  bad[1] = 2;
  EXPECT_FALSE(FindStructure(Join({bad, cap}), 0xAC));
  // Nothing at all, or less than a header.
  EXPECT_FALSE(FindStructure({}, 0xAC));
  EXPECT_FALSE(FindStructure(Bytes{0xAC, 6, 0}, 0xAC));
  // The target's own unterminated strings do not matter: its formatted area is whole.
  Bytes last = Capability({{15, 1}}, {"x"});
  last.resize(last.size() - 1);
  EXPECT_TRUE(FindStructure(Join({kBios, last}), 0xAC));
}

TEST(SmbiosWalk, CapabilityEntriesNeverReadPastTheFormattedArea) {
  // Lengths 4 and 5 give no entries (not (length - 6) / 3 wrapped round).
  const Bytes four{0xAC, 4, 0, 0};
  EXPECT_FALSE(FindCapabilityEntry(four, 15));
  const Bytes five{0xAC, 5, 0, 0, 15};
  EXPECT_FALSE(FindCapabilityEntry(five, 15));
  // A partial last entry is not an entry.
  const Bytes partial{0xAC, 8, 0, 0, 0, 0, 15, 1};
  EXPECT_FALSE(FindCapabilityEntry(partial, 15));
  const Bytes whole{0xAC, 9, 0, 0, 0, 0, 15, 1, 0};
  EXPECT_EQ(FindCapabilityEntry(whole, 15), 1);
  // The value is a little-endian u16.
  const Bytes wide{0xAC, 9, 0, 0, 0, 0, 15, 0x01, 0x02};
  EXPECT_EQ(FindCapabilityEntry(wide, 15), 0x0201);
}

TEST(OperationMode, AnswersFromEntry15AndLogsOnlyWhenItIsThere) {
  {
    fwgpu_test::LogCapture log;
    EXPECT_EQ(OperationModeFromSmbios(Join({kBios, Capability({{1, 0}, {15, 1}}), kEnd})), 1);
    EXPECT_TRUE(log.Has("OperationMode_support", "OperationMode_support - Support"));
  }
  {
    fwgpu_test::LogCapture log;
    EXPECT_EQ(OperationModeFromSmbios(Join({kBios, Capability({{15, 2}}), kEnd})), 0);
    EXPECT_TRUE(log.Has("OperationMode_support", "OperationMode_support - Not Support"));
  }
  {
    // Value 0x0101 is not 1: only the exact value counts.
    fwgpu_test::LogCapture log;
    EXPECT_EQ(OperationModeFromSmbios(Join({Capability({{15, 0x0101}})})), 0);
  }
  {
    fwgpu_test::LogCapture log;
    EXPECT_EQ(OperationModeFromSmbios(Join({kBios, kSystem, kEnd})), 0);
    EXPECT_EQ(OperationModeFromSmbios(Join({kBios, Capability({{14, 1}}), kEnd})), 0);
    EXPECT_EQ(OperationModeFromSmbios({}), 0);
    EXPECT_TRUE(log.Lines().empty());
  }
}
