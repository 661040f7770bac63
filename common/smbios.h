// Walking raw SMBIOS tables (as /sys/firmware/dmi/tables/DMI and
// GetSystemFirmwareTable give them). Portable; every length is checked against
// the table, so damaged firmware data ends the walk instead of overrunning it.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

namespace vantrel::smbios {

inline constexpr uint8_t kEndOfTable = 127;

// Calls `visit` with the formatted area (header included) of each structure
// in table order, until it returns true, after the end-of-table structure, or
// at a damaged header or string set. True when `visit` returned true.
bool Walk(std::span<const uint8_t> table, const std::function<bool(std::span<const uint8_t>)>& visit);

// The formatted area of the first structure of `type`; nullopt when the walk
// ends first. The span lies inside `table`.
std::optional<std::span<const uint8_t>> FindStructure(std::span<const uint8_t> table, uint8_t type);

}  // namespace vantrel::smbios
