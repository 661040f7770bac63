// The firmware's event source: the hardware service subscribes once at
// start-up; events reach the main window as messages.
#pragma once

namespace vantrel::hw {

// Opens the ROOT\WMI connection kept for the life of the process and
// subscribes the firmware event sink (which keeps `window`, the HWND) to
// "SELECT * FROM VRGeEvent". Linux has no such event source: it logs so.
void SubscribeFirmwareEvents(void* window);

}  // namespace vantrel::hw
