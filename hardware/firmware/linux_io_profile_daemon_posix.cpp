// power-profiles-daemon on the system bus, under its current name or the
// older one. Each question opens its own short-lived connection with a
// bounded wait: a hung bus must not hold a pipe worker.
#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>

#include "hardware/firmware/linux_io.h"

namespace velmont::firmware {
namespace {

struct DaemonName {
  const char* service;
  const char* path;
  const char* interface;
};
constexpr DaemonName kNames[] = {
    {"org.freedesktop.UPower.PowerProfiles", "/org/freedesktop/UPower/PowerProfiles",
     "org.freedesktop.UPower.PowerProfiles"},
    {"net.hadess.PowerProfiles", "/net/hadess/PowerProfiles", "net.hadess.PowerProfiles"},
};
constexpr uint64_t kCallTimeoutUsec = 1000 * 1000;

struct BusCloser {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;

class ErrorHolder {
 public:
  ~ErrorHolder() { sd_bus_error_free(&error_); }
  sd_bus_error* get() { return &error_; }

 private:
  sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

Bus OpenSystemBus() {
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0) return nullptr;
  Bus owned(bus);
  sd_bus_set_method_call_timeout(bus, kCallTimeoutUsec);
  return owned;
}

bool HasOwner(sd_bus* bus, const char* name) {
  ErrorHolder error;
  sd_bus_message* reply = nullptr;
  const int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                   "NameHasOwner", error.get(), &reply, "s", name);
  int owned = 0;
  const bool ok = r >= 0 && sd_bus_message_read(reply, "b", &owned) >= 0;
  sd_bus_message_unref(reply);
  return ok && owned != 0;
}

// The running daemon's name, or null.
const DaemonName* Running(sd_bus* bus) {
  for (const DaemonName& name : kNames) {
    if (HasOwner(bus, name.service)) return &name;
  }
  return nullptr;
}

class SystemBusDaemon : public ProfileDaemon {
 public:
  bool Present() override {
    Bus bus = OpenSystemBus();
    return bus && Running(bus.get()) != nullptr;
  }

  bool SetActive(const std::string& profile, std::string* error) override {
    Bus bus = OpenSystemBus();
    const DaemonName* name = bus ? Running(bus.get()) : nullptr;
    if (name == nullptr) {
      *error = "the daemon is gone";
      return false;
    }
    ErrorHolder e;
    if (sd_bus_set_property(bus.get(), name->service, name->path, name->interface, "ActiveProfile", e.get(), "s",
                            profile.c_str()) < 0) {
      *error = e.get()->message != nullptr ? e.get()->message : "the call failed";
      return false;
    }
    return true;
  }
};

}  // namespace

ProfileDaemon& SystemProfileDaemon() {
  static SystemBusDaemon daemon;
  return daemon;
}

}  // namespace velmont::firmware
