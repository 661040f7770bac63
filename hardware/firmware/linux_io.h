// What the Linux firmware backend needs from the OS: attribute files under
// /sys and one small state file. Kept behind this interface so the control
// logic runs against fakes in tests.
#pragma once
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace velmont::firmware {

// Paths are kernel paths ("/sys/class/hwmon/hwmon2/pwm1"); the real one roots
// them at VANTREL_SYSROOT.
class Sysfs {
 public:
  virtual ~Sysfs() = default;
  // The attribute's first line without its line end; nullopt when it cannot
  // be read or is longer than an attribute can be.
  virtual std::optional<std::string> Read(const std::string& path) = 0;
  // Writes `value` in one write to an existing attribute. On failure `error`
  // gets the reason (the driver's refusal, usually).
  virtual bool Write(const std::string& path, const std::string& value, std::string* error) = 0;
  // Names of the entries of a folder; empty when it cannot be listed.
  virtual std::vector<std::string> List(const std::string& dir) = 0;
  virtual bool Exists(const std::string& path) = 0;
};

// The record of fans this service took out of automatic mode. Two processes
// change it (the service, and the supervisor when the service died), so a
// change runs under Lock.
class StateFile {
 public:
  virtual ~StateFile() = default;
  virtual std::string Load() = 0;  // empty when missing
  virtual bool Save(const std::string& content) = 0;
  // Exclusive across processes; false when not had within `wait`.
  virtual bool Lock(std::chrono::milliseconds wait) = 0;
  virtual void Unlock() = 0;
};

// The desktop's power-profile daemon. Where one runs it owns the platform
// profile: changes go through it, not behind its back into /sys.
class ProfileDaemon {
 public:
  virtual ~ProfileDaemon() = default;
  virtual bool Present() = 0;
  // `name` is one of the daemon's profiles: power-saver, balanced, performance.
  virtual bool SetActive(const std::string& name, std::string* error) = 0;
};

// The machine's /sys, <state dir>/firmware-fans and the power-profile daemon
// on the system bus (Linux only).
Sysfs& SystemSysfs();
StateFile& FanStateFile();
ProfileDaemon& SystemProfileDaemon();

}  // namespace velmont::firmware
