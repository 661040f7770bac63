// The operation-mode capability structure of the SMBIOS tables. Portable.
#pragma once
#include <cstdint>
#include <optional>
#include <span>

namespace velmont::firmware {

inline constexpr uint8_t kOperationModeStructType = 0xAC;
inline constexpr uint8_t kOperationModeEntryId = 15;

// Value of entry `id` among the 3-byte {id, u16 value} entries that follow
// the 6-byte header of a capability structure; nullopt when absent.
std::optional<uint16_t> FindCapabilityEntry(std::span<const uint8_t> formatted, uint8_t id);

// 1 when the table announces operation-mode support, else 0. Logs the
// verdict when entry 15 is present, as the start-up work expects.
int OperationModeFromSmbios(std::span<const uint8_t> table);

}  // namespace velmont::firmware
