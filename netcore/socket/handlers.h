// The application's callbacks, as the sockets and the IO threads call them,
// and the codes its disconnect handler receives.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>

#include "netcore/buffer/buffer.h"
#include "netcore/socket/net_socket.h"

namespace netcore {

using timer_call_back = std::function<void(std::shared_ptr<NetSocket>)>;
using read_call_back = std::function<void(std::shared_ptr<NetSocket>, std::shared_ptr<Buffer>, uint32_t)>;
using write_call_back = std::function<void(std::shared_ptr<NetSocket>, uint32_t)>;
using connect_call_back = std::function<void(std::shared_ptr<NetSocket>, uint32_t)>;
using disconnect_call_back = std::function<void(std::shared_ptr<NetSocket>, uint32_t)>;
using accept_call_back = std::function<void(std::shared_ptr<NetSocket>, uint32_t)>;

// Disconnect codes.
enum : uint32_t {
  CEC_CLOSED = 0,       // Close by the application
  CEC_PEER_CLOSED = 1,  // peer closed or hung up, or a send error other than a reset
  CEC_READ_FAILED = 2,  // receive error, or reset while sending
};

// Set by the application before the events that call them and not changed
// afterwards: the IO threads share one copy and read it without a lock. Any
// slot may be empty.
struct Handlers {
  timer_call_back timer;
  read_call_back read;
  write_call_back write;
  connect_call_back connect;
  disconnect_call_back disconnect;
  accept_call_back accept;
};

}  // namespace netcore
