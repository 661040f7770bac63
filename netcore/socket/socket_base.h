#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "netcore/alloter/alloter_wrap.h"
#include "netcore/event/event_handler.h"
#include "netcore/os/socket_os.h"
#include "netcore/socket/handlers.h"
#include "netcore/socket/socket_loop.h"

namespace netcore {

class EventActions;

// Base of the listening and the connected socket: the handle, its address and
// weak links to the loop that serves it and to the application's handlers.
// The handlers are held weakly so none runs once the core that owns them is gone.
class Socket : public EventHandler, public std::enable_shared_from_this<Socket> {
 public:
  Socket(SocketHandle handle, std::shared_ptr<AlloterWrap> alloter)
      : handle_(handle), alloter_(std::move(alloter)) {}
  ~Socket() override = default;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // Closes the handle once; its number stays readable as the connection id.
  void CloseHandle() final {
    if (!handle_closed_ && handle_ != kInvalidSocket) {
      handle_closed_ = true;
      os::CloseSocket(handle_);
    }
  }
  bool HandleClosed() const { return handle_closed_; }
  SocketHandle Handle() const final { return handle_; }

  void SetEventActions(std::weak_ptr<EventActions> a) { actions_ = std::move(a); }
  void SetHandlers(std::weak_ptr<const Handlers> h) { handlers_ = std::move(h); }
  void SetLoop(std::weak_ptr<SocketLoop> l) { loop_ = std::move(l); }

 protected:
  SocketHandle handle_;
  bool handle_closed_ = false;
  uint8_t family_ = 1;  // 1 IPv4, 2 IPv6
  std::string ip_;
  uint16_t port_ = 0;
  std::shared_ptr<AlloterWrap> alloter_;
  std::weak_ptr<EventActions> actions_;
  std::weak_ptr<const Handlers> handlers_;
  std::weak_ptr<SocketLoop> loop_;
};

}  // namespace netcore
