#include "supervisor/power_events.h"

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "supervisor/service_instance.h"

namespace vantrel::supervisor {

LogindWatch::~LogindWatch() {
  if (sleep_slot_) sd_bus_slot_unref(sleep_slot_);
  if (seat_slot_) sd_bus_slot_unref(seat_slot_);
  if (bus_) sd_bus_flush_close_unref(bus_);
}

bool LogindWatch::Open() {
  if (sd_bus_open_system(&bus_) < 0) {
    bus_ = nullptr;
    return false;
  }
  if (sd_bus_match_signal(bus_, &sleep_slot_, "org.freedesktop.login1", "/org/freedesktop/login1",
                          "org.freedesktop.login1.Manager", "PrepareForSleep", &LogindWatch::OnSleep, this) < 0 ||
      sd_bus_match_signal(bus_, &seat_slot_, "org.freedesktop.login1", "/org/freedesktop/login1/seat/seat0",
                          "org.freedesktop.DBus.Properties", "PropertiesChanged", &LogindWatch::OnSeatChanged,
                          this) < 0) {
    return false;
  }
  active_session_ = QueryActiveSession();
  return true;
}

int LogindWatch::fd() const { return bus_ ? sd_bus_get_fd(bus_) : -1; }

short LogindWatch::events() const { return bus_ ? static_cast<short>(sd_bus_get_events(bus_)) : 0; }

int LogindWatch::timeout_ms() const {
  uint64_t usec = 0;
  if (!bus_ || sd_bus_get_timeout(bus_, &usec) < 0 || usec == UINT64_MAX) return -1;
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t now = static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
  return usec <= now ? 0 : static_cast<int>(std::min<uint64_t>((usec - now + 999) / 1000, 60000));
}

bool LogindWatch::Process() {
  for (;;) {
    int r = sd_bus_process(bus_, nullptr);
    if (r < 0) return false;
    if (r == 0) return true;
  }
}

std::string LogindWatch::QueryActiveSession() {
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  std::string id;
  if (sd_bus_get_property(bus_, "org.freedesktop.login1", "/org/freedesktop/login1/seat/seat0",
                          "org.freedesktop.login1.Seat", "ActiveSession", &error, &reply, "(so)") >= 0) {
    const char* session = nullptr;
    const char* path = nullptr;
    if (sd_bus_message_read(reply, "(so)", &session, &path) >= 0 && session) id = session;
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  return id;
}

void LogindWatch::Deliver(const std::vector<ControlEvent>& events) {
  for (const ControlEvent& e : events) {
    SessionNotification notification{sizeof(SessionNotification), e.session_id};
    service_.HandleControl(e.control, e.event_type, e.control == kControlSessionChange ? &notification : nullptr);
  }
}

int LogindWatch::OnSleep(sd_bus_message* m, void* userdata, sd_bus_error*) {
  int start = 0;
  if (sd_bus_message_read(m, "b", &start) < 0) return 0;
  static_cast<LogindWatch*>(userdata)->Deliver(PrepareForSleepEvents(start != 0));
  return 0;
}

int LogindWatch::OnSeatChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
  const char* iface = nullptr;
  if (sd_bus_message_read(m, "s", &iface) < 0 || !iface || std::strcmp(iface, "org.freedesktop.login1.Seat") != 0) {
    return 0;
  }
  auto* self = static_cast<LogindWatch*>(userdata);
  std::string now = self->QueryActiveSession();
  std::string before = self->active_session_;
  self->active_session_ = now;
  self->Deliver(ActiveSessionEvents(before, now));
  return 0;
}

}  // namespace vantrel::supervisor
