#include "netcore/socket/socket_map.h"

#include "netcore/socket/rw_socket.h"

namespace netcore {

SocketMap& ThreadSocketMap() {
  thread_local SocketMap map;
  return map;
}

}  // namespace netcore
