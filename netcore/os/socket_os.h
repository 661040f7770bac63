// The thin operating-system layer of the core: sockets, the readiness
// interface, the wake-up channel, clock and thread ids. Everything above it is
// free of platform headers.
#pragma once
#include <cstdint>
#include <string>

#include "netcore/os/iovec.h"

namespace netcore {

using SocketHandle = uint64_t;
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle(0);
using EpollHandle = uint64_t;
inline constexpr EpollHandle kInvalidEpoll = ~EpollHandle(0);

// Readiness bits (the values of Linux epoll).
inline constexpr uint32_t kEpollIn = 0x001;
inline constexpr uint32_t kEpollOut = 0x004;
inline constexpr uint32_t kEpollErr = 0x008;
inline constexpr uint32_t kEpollHup = 0x010;
inline constexpr uint32_t kEpollRdHup = 0x2000;

struct ReadyEvent {
  uint32_t events;
  void* data;
};

enum class EpollOp { kAdd, kMod, kDel };

namespace os {

// Once per process (Winsock start-up on Windows).
void NetInit();
// Last socket error (errno / WSAGetLastError) and its classes.
int LastError();
bool IsWouldBlock(int err);
bool IsInterrupted(int err);
bool IsConnReset(int err);
std::string ErrorText(int err);

uint64_t CurrentThreadId();
uint64_t MonotonicMs();
uint32_t ProcessorCount();

EpollHandle EpollCreate();
void EpollClose(EpollHandle ep);
// 0 on success, -1 with LastError() set.
int EpollCtl(EpollHandle ep, EpollOp op, SocketHandle s, uint32_t events, void* data);
// Number of ready records, 0 on time-out, -1 on error (LastError()).
int EpollWait(EpollHandle ep, ReadyEvent* out, int max, int timeout_ms);

// The wake-up channel: a non-blocking pipe (Linux) or loopback socket pair
// (Windows); `rd` is what the epoll set watches.
bool MakeWakeChannel(SocketHandle& rd, SocketHandle& wr);
bool WakeWrite(SocketHandle wr);
bool WakeRead(SocketHandle rd);
void CloseWakeChannel(SocketHandle rd, SocketHandle wr);

// A TCP socket; IPv6 ones accept IPv4 too (V6ONLY off).
SocketHandle TcpSocket(bool ipv6);
// Address reuse as each platform allows safely (never port sharing on Windows).
void SetListenOptions(SocketHandle s);
bool Bind(SocketHandle s, bool ipv6, const std::string& ip, uint16_t port);
bool Listen(SocketHandle s, int backlog);
bool SetNonBlocking(SocketHandle s);
// Turns Nagle off: the core sends whole messages in pieces of at most 4096
// bytes, and Nagle would hold each piece back until the peer's (delayed) ACK.
void SetNoDelay(SocketHandle s);
// Non-blocking accepted handle or kInvalidSocket; peer as text and host-order port.
SocketHandle Accept(SocketHandle s, std::string& ip, uint16_t& port);
// Starts a non-blocking connect: 0 done, 1 in progress, -1 failed.
int Connect(SocketHandle s, bool ipv6, const std::string& ip, uint16_t port);
// Pending error of a socket (SO_ERROR).
int SocketError(SocketHandle s);
// Bytes moved, or -1 with LastError() set. Sends never raise SIGPIPE.
int64_t ReadV(SocketHandle s, const Iovec* iov, int count);
int64_t WriteV(SocketHandle s, const Iovec* iov, int count);
void CloseSocket(SocketHandle s);
// Local port of a bound socket (0 when unknown).
uint16_t LocalPort(SocketHandle s);

}  // namespace os
}  // namespace netcore
