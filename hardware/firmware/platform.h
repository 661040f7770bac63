// The platform half of the firmware interface. Windows: WMI in ROOT\WMI.
// Linux: the backend named by "FirmwareBackend" in the platform configuration file.
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "hardware/firmware/commands.h"

namespace velmont::firmware {

// Calls the row's method once with `input` (none when nullopt) and returns its
// output, or nullopt when any step fails. Pauses 30 ms after a successful call
// to real firmware (WMI; on Linux the "hwmon" backend, not the simulator).
std::optional<uint64_t> CallFirmwareMethod(const FirmwareCommand& row, std::optional<uint64_t> input);

// The raw SMBIOS structure table; empty when it cannot be read.
std::vector<uint8_t> ReadRawSmbiosTables();

// Gives back what the service took over from the machine's own control:
// on Linux, fans a run left outside automatic mode (recorded under the state
// folder, so this also undoes a run that crashed). Windows: nothing to do.
// Called once the single-instance guard is held, and again on the way out.
void RestoreFirmwareControl();
// The call on the way out: after it no firmware call takes a fan out of
// automatic mode, so a late pipe command cannot leave one steered.
void ReleaseFirmwareControl();

}  // namespace velmont::firmware
