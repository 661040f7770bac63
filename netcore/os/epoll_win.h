// The core's epoll layer for Windows, over WSAPoll. Not a general library:
// create, ADD / MOD / DEL and a level-triggered wait with the bits and user
// data the core uses. Changes made while another thread waits take effect at
// that thread's next wait (the core changes its set only on its own thread).
#pragma once
#include <cstdint>

#include "netcore/os/socket_os.h"

namespace netcore::winepoll {

inline constexpr int EPOLL_CTL_ADD = 1;
inline constexpr int EPOLL_CTL_DEL = 2;
inline constexpr int EPOLL_CTL_MOD = 3;

struct Instance;

Instance* epoll_create();
void epoll_close(Instance* ep);
// 0 on success; -1 with the thread's last error set to ERROR_ALREADY_EXISTS
// (ADD of a member), ERROR_NOT_FOUND (MOD/DEL of a stranger) or
// WSAEINVAL (bad arguments).
int epoll_ctl(Instance* ep, int op, uint64_t socket, const ReadyEvent* event);
// Ready records (at most `max`), 0 on time-out, -1 on error. Peer hang-ups
// and errors also report EPOLLIN when input is watched, so pending bytes and
// the end of the stream are read first, as on Linux.
int epoll_wait(Instance* ep, ReadyEvent* events, int max, int timeout_ms);

}  // namespace netcore::winepoll
