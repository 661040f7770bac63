// The launcher key's input rules, portable: modifier state from raw keyboard
// records (Windows) or evdev events (Linux), the key itself, the keyboard
// controller's report, and the controller's HID identity.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vantrel::hw {

// The keyboard controller that selects the Tavrix and Brivon launchers.
inline constexpr uint16_t kControllerVendor = 0x3A71;
inline constexpr uint16_t kControllerProduct = 0x174B;
inline constexpr size_t kControllerFeatureReportBytes = 9;

// Process-wide: set once by the HID scan, read at each key press.
bool KeyboardControllerFlag();
void SetKeyboardControllerFlag(bool present);

// Ctrl and Shift as the key handler sees them (false at start).
struct ModifierState {
  bool ctrl = false;
  bool shift = false;
};

// One RAWKEYBOARD record: updates `state` and returns true for the launcher
// key (scan code 0x75 released with the E0 prefix, flags exactly 3).
namespace rawkey {
inline constexpr uint16_t kBreak = 1;  // RI_KEY_BREAK
inline constexpr uint16_t kE0 = 2;     // RI_KEY_E0
inline constexpr uint16_t kLauncherScanCode = 0x75;
}  // namespace rawkey
bool OnRawKeyboard(ModifierState& state, uint16_t virtual_key, uint16_t scan_code, uint16_t flags);

// A report of the controller's key collection: bytes 1 and 2 are 0x81 0xFF.
bool IsControllerKeyReport(std::span<const uint8_t> report);

// Linux: the same key and modifiers from evdev events. The key is the one the
// keyboard reports with scan code E0 75 (atkbd's MSC_SCAN number 0xF5, or
// 0xE075 from drivers that keep the prefix byte); it acts on release, as on
// Windows. A key the kernel has no key code for sends no key event, so it is
// seen only once hwdb or setkeycodes maps it.
// One decoder per device; the modifier state is shared by all devices, as
// Windows keeps one state for every keyboard.
class EvdevKeyDecoder {
 public:
  explicit EvdevKeyDecoder(ModifierState* shared = nullptr) : state_(shared ? shared : &own_) {}
  // Feeds one input_event (type, code, value); true when this event releases
  // the launcher key.
  bool Feed(uint16_t type, uint16_t code, int32_t value);
  const ModifierState& state() const { return *state_; }

 private:
  ModifierState own_;
  ModifierState* state_;
  bool scan_seen_ = false;  // the current frame carried the key's scan code
};

// Linux: reads key events from every readable <sysroot>/dev/input/event* and
// reports from the keyboard controller's hidraw nodes on a thread of its own
// for the life of the process, calling `on_key` with the modifier state for
// each launcher key. A device that ends (read error, end of file) is dropped.
// False (and nothing started) when no device could be opened.
bool StartInputReader(const std::function<void(const ModifierState&)>& on_key);
// Linux: /dev/hidraw* nodes (under the sysroot) of the keyboard controller.
std::vector<std::string> ControllerHidrawNodes();

// HID report descriptors: the longest feature report in bytes as
// HidP_GetCaps counts it (data bytes plus one for the report id), 0 when
// there is none. Malformed descriptors are read as far as they go.
size_t FeatureReportLength(std::span<const uint8_t> descriptor);

// Vendor and product from a hidraw device's uevent text ("HID_ID=0003:00003A71:0000174B").
std::optional<std::pair<uint16_t, uint16_t>> HidIdFromUevent(const std::string& uevent);

}  // namespace vantrel::hw
