// The root of the network core: IO threads (dispatchers), the application's
// handlers and the listening entry point.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "netcore/buffer/buffer.h"
#include "netcore/os/socket_os.h"
#include "netcore/socket/handlers.h"
#include "netcore/socket/net_socket.h"

namespace netcore {

class Dispatcher;

struct RangeRandom {
  uint32_t min = 0;
  uint32_t max = 0;
};

// Handlers are set before listening starts and not changed afterwards; all
// of them run on the IO thread that owns the socket.
class NetCoreBase : public std::enable_shared_from_this<NetCoreBase> {
 public:
  NetCoreBase();
  ~NetCoreBase();
  NetCoreBase(const NetCoreBase&) = delete;
  NetCoreBase& operator=(const NetCoreBase&) = delete;

  // With the machine's processor count. Returns false when no dispatcher runs.
  bool StartDispatchers(uint32_t thread_num);
  // As above with a given processor count; an unknown count (0) counts as one.
  bool StartDispatchers(uint32_t thread_num, uint32_t processors);
  void StopDispatchers();
  // Blocks until every dispatcher thread has ended.
  void JoinDispatchers();

  void SetTimerHandler(timer_call_back cb) { handlers_->timer = std::move(cb); }
  void SetReadHandler(read_call_back cb) { handlers_->read = std::move(cb); }
  void SetWriteHandler(write_call_back cb) { handlers_->write = std::move(cb); }
  void SetConnectHandler(connect_call_back cb) { handlers_->connect = std::move(cb); }
  void SetDisconnectHandler(disconnect_call_back cb) { handlers_->disconnect = std::move(cb); }
  void SetAcceptHandler(accept_call_back cb) { handlers_->accept = std::move(cb); }

  // One listening socket shared by all dispatchers. It is bound here, so a
  // taken port is known to the caller; listen runs on each dispatcher's
  // thread. False when the socket cannot be created or bound (the socket
  // error in *error when given).
  bool ListenOn(const std::string& ip, uint16_t port, int* error = nullptr);
  // Outgoing connection on one dispatcher; the connect handler reports it.
  bool Connect(const std::string& ip, uint16_t port);

  const std::vector<std::shared_ptr<Dispatcher>>& Dispatchers() const { return dispatchers_; }
  RangeRandom GetRange() const { return range_; }

 private:
  std::shared_ptr<Dispatcher> PickDispatcher();

  RangeRandom range_;
  std::vector<std::shared_ptr<Dispatcher>> dispatchers_;
  std::mutex listen_mutex_;
  std::vector<SocketHandle> listen_handles_;
  // Sockets and dispatchers see them read-only and weakly, so no handler
  // runs once this core is gone.
  std::shared_ptr<Handlers> handlers_ = std::make_shared<Handlers>();
};

}  // namespace netcore
