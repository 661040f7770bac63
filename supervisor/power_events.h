// logind on the system bus (Linux): sleep and the seat's active session,
// delivered to the service as the power and session controls Windows sends.
#pragma once
#include <systemd/sd-bus.h>

#include <string>
#include <vector>

#include "supervisor/service_base.h"
#include "supervisor/systemd_glue.h"

namespace vantrel::supervisor {

class LogindWatch {
 public:
  explicit LogindWatch(CServiceBase& service) : service_(service) {}
  ~LogindWatch();
  LogindWatch(const LogindWatch&) = delete;
  LogindWatch& operator=(const LogindWatch&) = delete;

  // False when the system bus or logind cannot be reached; there are then no events.
  bool Open();

  // For the caller's poll: the bus descriptor, its events and its time-out.
  int fd() const;
  short events() const;
  int timeout_ms() const;
  // Dispatches what arrived; false when the connection broke.
  bool Process();

 private:
  std::string QueryActiveSession();
  void Deliver(const std::vector<ControlEvent>& events);
  static int OnSleep(sd_bus_message* m, void* userdata, sd_bus_error*);
  static int OnSeatChanged(sd_bus_message* m, void* userdata, sd_bus_error*);

  CServiceBase& service_;
  sd_bus* bus_ = nullptr;
  sd_bus_slot* sleep_slot_ = nullptr;
  sd_bus_slot* seat_slot_ = nullptr;
  std::string active_session_;
};

}  // namespace vantrel::supervisor
