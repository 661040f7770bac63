#pragma once
#include <cstdint>
#include <string>

#include "netcore/event/event.h"

namespace netcore {

// The readiness backend of one dispatcher. Everything but WakeUp runs on the
// dispatcher's own thread.
class EventActions {
 public:
  virtual ~EventActions() = default;
  virtual bool Init() = 0;
  virtual bool AddSendEvent(Event* event) = 0;
  // Withdraws write interest (the send queue is empty again).
  virtual bool RemoveSendEvent(Event* event) = 0;
  virtual bool AddRecvEvent(Event* event) = 0;
  virtual bool AddAcceptEvent(Event* event) = 0;
  // Write interest for an outgoing connect in progress.
  virtual bool AddConnection(Event* event) = 0;
  virtual bool AddDisconnection(Event* event) = 0;
  virtual bool RemoveEvent(Event* event) = 0;
  virtual void WaitAndDispatch(int32_t timeout_ms) = 0;
  virtual void WakeUp() = 0;
};

}  // namespace netcore
