#include "hardware/firmware/smbios.h"

#include <string>

#include "common/diag_log.h"
#include "common/smbios.h"
#include "hardware/commands/command_processor.h"

namespace velmont::firmware {
namespace {

constexpr size_t kCapabilityHeader = 6;
constexpr size_t kEntrySize = 3;

}  // namespace

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
  auto formatted = vantrel::smbios::FindStructure(table, kOperationModeStructType);
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
