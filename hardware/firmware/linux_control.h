// The firmware methods served from the kernel's standard interfaces: the ACPI
// platform profile, hwmon pwm channels and their auto-point curves, the
// battery's charge end threshold and the keyboard backlight LED. The values
// are those of common/fw_encoding.h. Portable: the OS is behind Sysfs and
// StateFile.
//
// Where the desktop's power-profile daemon runs, profile changes go through
// it instead. Only the attributes named above are ever written, and each value is checked
// against what the driver reports first (its profile choices, its curve
// points, its max_brightness). Any refusal, ours or the driver's, is a failed
// call with a warning in the log.
#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "hardware/firmware/linux_devices.h"
#include "hardware/firmware/linux_io.h"

namespace velmont::firmware {

class LinuxFirmware {
 public:
  // `daemon` may be null: the profile is then always written to /sys.
  LinuxFirmware(Sysfs& sys, StateFile& state, ProfileDaemon* daemon = nullptr)
      : sys_(sys), state_(state), daemon_(daemon) {}

  // One firmware method by its name; nullopt when it fails or is not served
  // here (GetGamingSysInfo is the sensor reader's).
  std::optional<uint64_t> Call(std::wstring_view method, std::optional<uint64_t> input);

  // Gives every fan this service (or a run before it) took out of automatic
  // mode back to the driver. Run at start-up and when the service stops.
  void RestoreFans();
  // The same on the way out; afterwards no call takes a fan out of automatic
  // mode, so a pipe command that arrives late cannot leave one manual.
  void RestoreFansAndClose();
  // The supervisor's restore after the service died: skipped when `running`
  // (asked under the record's lock) says a service runs again and owns it.
  void RestoreFansUnlessRunning(const std::function<bool()>& running);

 private:
  std::optional<uint64_t> SetProfile(uint64_t in);
  std::optional<uint64_t> SetThroughDaemon(std::string_view name);
  std::optional<uint64_t> GetProfile(uint64_t in);
  std::optional<uint64_t> SetFanBehavior(uint64_t in);
  std::optional<uint64_t> GetFanBehavior(uint64_t in);
  std::optional<uint64_t> SetFanSpeed(uint64_t in);
  std::optional<uint64_t> GetFanSpeed(uint64_t in);
  std::optional<uint64_t> SetFanTable(uint64_t in);
  std::optional<uint64_t> GetFanTable();
  std::optional<uint64_t> SetSetting(uint64_t in);
  std::optional<uint64_t> GetSetting(uint64_t in);

  std::optional<FanChannel> Fan(uint64_t number);
  // Takes the fan out of automatic mode: recorded first, so that a crash
  // right after the write still leaves a record to undo it.
  bool LeaveAuto(const FanChannel& fan, const char* enable_value);
  bool BackToAuto(const FanChannel& fan);
  bool Write(const std::string& path, const std::string& value);
  // Both log `why` as a warning.
  std::optional<uint64_t> Refuse(const std::wstring& why);
  bool Fail(const std::wstring& why);

  Sysfs& sys_;
  StateFile& state_;
  ProfileDaemon* daemon_;
  void RestoreLocked();

  std::mutex mutex_;  // one method at a time: writes and the record stay in step
  bool closed_ = false;
  uint8_t cursor_fan_ = 1;
  uint8_t cursor_point_ = 1;
};

}  // namespace velmont::firmware
