#include "hardware/firmware_smbios.h"

#include <string>

#include "common/diag_log.h"
#include "hardware/command_processor.h"

namespace velmont::firmware {
namespace {

constexpr uint8_t kEndOfTable = 127;
constexpr size_t kHeaderLength = 4;  // type, length, handle
constexpr size_t kCapabilityHeader = 6;
constexpr size_t kEntrySize = 3;

}  // namespace

std::optional<std::span<const uint8_t>> FindSmbiosStructure(std::span<const uint8_t> table, uint8_t type) {
  size_t pos = 0;
  while (pos + kHeaderLength <= table.size()) {
    const uint8_t this_type = table[pos];
    const size_t length = table[pos + 1];
    // A length below the header cannot be walked past reliably: treat the rest as garbage.
    if (length < kHeaderLength || pos + length > table.size()) return std::nullopt;
    if (this_type == type) return table.subspan(pos, length);
    if (this_type == kEndOfTable) return std::nullopt;
    // The string set ends with two zero bytes; with no strings it is just "\0\0".
    size_t s = pos + length;
    while (s + 1 < table.size() && !(table[s] == 0 && table[s + 1] == 0)) ++s;
    if (s + 1 >= table.size()) return std::nullopt;
    pos = s + 2;
  }
  return std::nullopt;
}

std::optional<uint16_t> FindCapabilityEntry(std::span<const uint8_t> formatted, uint8_t id) {
  // A length below 6 has no entries (rather than a huge count from unsigned wrap-around).
  if (formatted.size() < kCapabilityHeader) return std::nullopt;
  const size_t entries = (formatted.size() - kCapabilityHeader) / kEntrySize;
  for (size_t i = 0; i < entries; ++i) {
    const uint8_t* e = formatted.data() + kCapabilityHeader + i * kEntrySize;
    if (e[0] == id) return static_cast<uint16_t>(e[1] | (e[2] << 8));
  }
  return std::nullopt;
}

int OperationModeFromSmbios(std::span<const uint8_t> table) {
  const std::wstring function = std::wstring(kProcessorPrefix) + L"OperationMode_support";
  auto formatted = FindSmbiosStructure(table, kOperationModeStructType);
  if (!formatted) return 0;
  auto value = FindCapabilityEntry(*formatted, kOperationModeEntryId);
  if (!value) return 0;
  if (*value == 1) {
    vantrel::LogInfo(function, L"OperationMode_support - Support");
    return 1;
  }
  vantrel::LogInfo(function, L"OperationMode_support - Not Support");
  return 0;
}

}  // namespace velmont::firmware
