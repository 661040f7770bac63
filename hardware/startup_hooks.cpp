// Hooks of the start-up work whose layers are not built yet. Each does
// nothing and reports "unknown", so nothing is published on their behalf;
// the layer that implements one replaces its stub here.
#include "hardware/startup.h"

namespace vantrel::hw {

// Firmware events (ROOT\WMI, VRGeEvent): not built yet.
void SubscribeFirmwareEvents() {}

// Raw keyboard and mouse input: not built yet.
void RegisterRawInput(void*) {}
void HandleRawInput(void*, intptr_t) {}

// Keyboard-controller HID scan: not built yet; the flag stays unset.
void ScanKeyboardController() {}

// Computer model (SMBIOS / WMI): not built yet, so no model or brand is written.
std::optional<std::wstring> ReadComputerModel() { return std::nullopt; }

// Overclock-support search: not built yet.
void RunOverclockSearch(const std::wstring&) {}

}  // namespace vantrel::hw
