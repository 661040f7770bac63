// What the readiness backend and the timing wheel call back into: the socket
// layer implements it, so the event layer never needs to know sockets.
#pragma once
#include <cstdint>

#include "netcore/os/socket_os.h"

namespace netcore {

// Events hold it weakly: a handler that is gone is skipped, never revived.
class EventHandler {
 public:
  virtual ~EventHandler() = default;

  // The handle registered with the epoll set.
  virtual SocketHandle Handle() const = 0;
  // Closes the handle once (a disconnection request closes it before
  // reporting).
  virtual void CloseHandle() = 0;

  // Readiness callbacks, run on the owning dispatcher's thread.
  virtual void OnTimer() {}
  virtual void OnRead() {}
  virtual void OnWrite() {}
  virtual void OnConnect() {}
  virtual void OnDisConnect(uint32_t /*err*/) {}
  virtual void OnAccept() {}
};

}  // namespace netcore
