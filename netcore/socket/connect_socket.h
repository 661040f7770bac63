#pragma once
#include <memory>
#include <string>

#include "netcore/event/event.h"
#include "netcore/socket/socket_base.h"

namespace netcore {

// A listening socket. Several dispatchers may each hold one over the same
// handle; the handle is closed only by the ConnectSocket that created it.
class ConnectSocket : public Socket {
 public:
  static constexpr int kBacklog = 0x7fffffff;
  // Connections taken per readiness: a connection storm cannot keep the IO
  // thread in the accept loop while connected clients wait; the listener
  // stays ready and the rest is taken in the next loop turn.
  static constexpr int kAcceptsPerPass = 128;

  ConnectSocket(SocketHandle handle, std::shared_ptr<AlloterWrap> alloter);
  ~ConnectSocket() override;

  // Creates the socket if it has none and binds. False when the address does
  // not bind: a socket that was never bound is never put to listening, since
  // listen() would bind it to an ephemeral port on every interface.
  virtual bool Bind(const std::string& ip, uint16_t port);
  virtual bool Listen();
  void OnAccept() override;

  uint16_t GetListenPort() const { return port_; }
  bool IsListening() const { return listening_; }

 private:
  Event* accept_event_ = nullptr;
  bool owns_handle_ = false;
  bool bound_ = false;
  bool listening_ = false;
};

}  // namespace netcore
