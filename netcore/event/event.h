#pragma once
#include <cstdint>
#include <memory>

#include "netcore/event/event_handler.h"
#include "netcore/os/socket_os.h"

namespace netcore {

enum EventFlag : uint32_t {
  EVENT_READ = 0x01,        // read interest registered
  EVENT_WRITE = 0x02,       // write interest registered
  EVENT_ACCEPT = 0x04,      // belongs to a listening socket
  EVENT_TIMER = 0x08,       // timer calling a plain callable
  EVENT_TIMER_SOCK = 0x10,  // timer calling its socket's timer handling
  EVENT_CONNECT = 0x20,     // outgoing connect registered
  EVENT_DISCONNECT = 0x40,  // disconnection requested
  EVENT_ADDED = 0x80,       // the socket is in the epoll set
};

// The epoll registration of a socket: interest mask and the user data that
// comes back with each ready record (the Event itself).
struct EpollRecord {
  uint32_t events = 0;
  SocketHandle handle = kInvalidSocket;
};

class Event {
 public:
  explicit Event(std::weak_ptr<EventHandler> handler) : handler_(std::move(handler)) {}
  virtual ~Event() = default;

  std::weak_ptr<EventHandler> handler_;
  uint32_t flags_ = 0;
  bool has_record_ = false;
  EpollRecord record_;
};

}  // namespace netcore
