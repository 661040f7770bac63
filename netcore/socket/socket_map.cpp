#include "netcore/socket/socket_map.h"

#include "netcore/socket/rw_socket.h"

namespace netcore {

namespace {
thread_local SocketMap* t_bound = nullptr;
}  // namespace

void BindThreadSocketMap(SocketMap* map) { t_bound = map; }

SocketMap& ThreadSocketMap() {
  if (t_bound != nullptr) return *t_bound;
  // A thread that is no IO loop (none in the product) keeps one of its own.
  thread_local SocketMap fallback;
  return fallback;
}

}  // namespace netcore
