#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "netcore/os/epoll_win.h"
#include "netcore/os/socket_os.h"

namespace netcore::os {

namespace {
SOCKET Sock(SocketHandle s) { return static_cast<SOCKET>(s); }
SocketHandle Handle(SOCKET s) { return s == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(s); }
winepoll::Instance* Ep(EpollHandle ep) { return reinterpret_cast<winepoll::Instance*>(static_cast<uintptr_t>(ep)); }
}  // namespace

void NetInit() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}

int LastError() { return WSAGetLastError(); }
bool IsWouldBlock(int err) { return err == WSAEWOULDBLOCK; }
bool IsInterrupted(int err) { return err == WSAEINTR; }
bool IsConnReset(int err) { return err == WSAECONNRESET; }

std::string ErrorText(int err) {
  char buf[256] = {0};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 static_cast<DWORD>(err), 0, buf, sizeof(buf), nullptr);
  std::string s(buf, n);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

uint64_t CurrentThreadId() { return GetCurrentThreadId(); }

uint64_t MonotonicMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

uint32_t ProcessorCount() { return std::thread::hardware_concurrency(); }

EpollHandle EpollCreate() {
  winepoll::Instance* ep = winepoll::epoll_create();
  return ep == nullptr ? kInvalidEpoll : static_cast<EpollHandle>(reinterpret_cast<uintptr_t>(ep));
}

void EpollClose(EpollHandle ep) {
  if (ep != kInvalidEpoll) winepoll::epoll_close(Ep(ep));
}

int EpollCtl(EpollHandle ep, EpollOp op, SocketHandle s, uint32_t events, void* data) {
  const ReadyEvent ev{events, data};
  const int o = op == EpollOp::kAdd   ? winepoll::EPOLL_CTL_ADD
                : op == EpollOp::kMod ? winepoll::EPOLL_CTL_MOD
                                      : winepoll::EPOLL_CTL_DEL;
  return winepoll::epoll_ctl(Ep(ep), o, s, &ev);
}

int EpollWait(EpollHandle ep, ReadyEvent* out, int max, int timeout_ms) {
  return winepoll::epoll_wait(Ep(ep), out, max, timeout_ms);
}

bool MakeWakeChannel(SocketHandle& rd, SocketHandle& wr) {
  NetInit();
  SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listener == INVALID_SOCKET) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof(a);
  SOCKET w = INVALID_SOCKET;
  SOCKET r = INVALID_SOCKET;
  bool ok = ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
            ::listen(listener, 1) == 0 &&
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) == 0;
  if (ok) {
    w = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ok = w != INVALID_SOCKET && ::connect(w, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
  }
  if (ok) {
    r = ::accept(listener, nullptr, nullptr);
    ok = r != INVALID_SOCKET;
  }
  ::closesocket(listener);
  if (ok) {
    BOOL one = TRUE;
    ::setsockopt(w, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one));
    ok = SetNonBlocking(Handle(r)) && SetNonBlocking(Handle(w));
  }
  if (!ok) {
    if (w != INVALID_SOCKET) ::closesocket(w);
    if (r != INVALID_SOCKET) ::closesocket(r);
    return false;
  }
  rd = Handle(r);
  wr = Handle(w);
  return true;
}

bool WakeWrite(SocketHandle wr) {
  const char b = 1;
  return ::send(Sock(wr), &b, 1, 0) == 1;
}

bool WakeRead(SocketHandle rd) {
  char b;
  return ::recv(Sock(rd), &b, 1, 0) == 1;
}

void CloseWakeChannel(SocketHandle rd, SocketHandle wr) {
  if (rd != kInvalidSocket) ::closesocket(Sock(rd));
  if (wr != kInvalidSocket) ::closesocket(Sock(wr));
}

SocketHandle TcpSocket(bool ipv6) {
  NetInit();
  SOCKET s = ::WSASocketW(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s != INVALID_SOCKET && ipv6) {
    DWORD off = 0;
    ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off), sizeof(off));
  }
  return Handle(s);
}

void SetListenOptions(SocketHandle s) {
  // No other socket may take over the port, unlike SO_REUSEADDR on Windows.
  BOOL on = TRUE;
  ::setsockopt(Sock(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof(on));
}

namespace {
bool MakeAddress(bool ipv6, const std::string& ip, uint16_t port, sockaddr_storage& ss, int& len) {
  ZeroMemory(&ss, sizeof(ss));
  if (ipv6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(port);
    if (::inet_pton(AF_INET6, ip.c_str(), &a->sin6_addr) != 1) return false;
    len = sizeof(sockaddr_in6);
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    if (::inet_pton(AF_INET, ip.c_str(), &a->sin_addr) != 1) return false;
    len = sizeof(sockaddr_in);
  }
  return true;
}
}  // namespace

bool Bind(SocketHandle s, bool ipv6, const std::string& ip, uint16_t port) {
  sockaddr_storage ss;
  int len = 0;
  if (!MakeAddress(ipv6, ip, port, ss, len)) {
    WSASetLastError(WSAEINVAL);
    return false;
  }
  return ::bind(Sock(s), reinterpret_cast<sockaddr*>(&ss), len) == 0;
}

bool Listen(SocketHandle s, int backlog) { return ::listen(Sock(s), backlog) == 0; }

bool SetNonBlocking(SocketHandle s) {
  u_long on = 1;
  return ::ioctlsocket(Sock(s), FIONBIO, &on) == 0;
}

void SetNoDelay(SocketHandle s) {
  BOOL on = TRUE;
  ::setsockopt(Sock(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
}

SocketHandle Accept(SocketHandle s, std::string& ip, uint16_t& port) {
  sockaddr_storage ss{};
  int len = sizeof(ss);
  SOCKET c = ::accept(Sock(s), reinterpret_cast<sockaddr*>(&ss), &len);
  if (c == INVALID_SOCKET) return kInvalidSocket;
  ::SetHandleInformation(reinterpret_cast<HANDLE>(c), HANDLE_FLAG_INHERIT, 0);
  char text[INET6_ADDRSTRLEN] = {0};
  if (ss.ss_family == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof(text));
    port = ntohs(a->sin6_port);
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof(text));
    port = ntohs(a->sin_port);
  }
  ip = text;
  SetNonBlocking(Handle(c));
  return Handle(c);
}

int Connect(SocketHandle s, bool ipv6, const std::string& ip, uint16_t port) {
  sockaddr_storage ss;
  int len = 0;
  if (!MakeAddress(ipv6, ip, port, ss, len)) {
    WSASetLastError(WSAEINVAL);
    return -1;
  }
  if (::connect(Sock(s), reinterpret_cast<sockaddr*>(&ss), len) == 0) return 0;
  return WSAGetLastError() == WSAEWOULDBLOCK ? 1 : -1;
}

int SocketError(SocketHandle s) {
  int err = 0;
  int len = sizeof(err);
  if (::getsockopt(Sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0) {
    return WSAGetLastError();
  }
  return err;
}

namespace {
void ToWsaBufs(const Iovec* iov, int count, std::vector<WSABUF>& out) {
  out.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    out[i].buf = static_cast<CHAR*>(iov[i].iov_base);
    out[i].len = static_cast<ULONG>(iov[i].iov_len);
  }
}
}  // namespace

// The buffer lists are plain locals: with MinGW's emulated TLS a thread_local
// object's storage can be freed before its destructor runs at thread exit.
int64_t ReadV(SocketHandle s, const Iovec* iov, int count) {
  std::vector<WSABUF> bufs;
  ToWsaBufs(iov, count, bufs);
  DWORD got = 0;
  DWORD flags = 0;
  if (::WSARecv(Sock(s), bufs.data(), static_cast<DWORD>(count), &got, &flags, nullptr, nullptr) != 0) {
    return -1;
  }
  return got;
}

int64_t WriteV(SocketHandle s, const Iovec* iov, int count) {
  std::vector<WSABUF> bufs;
  ToWsaBufs(iov, count, bufs);
  DWORD sent = 0;
  if (::WSASend(Sock(s), bufs.data(), static_cast<DWORD>(count), &sent, 0, nullptr, nullptr) != 0) {
    return -1;
  }
  return sent;
}

void CloseSocket(SocketHandle s) {
  if (s != kInvalidSocket) ::closesocket(Sock(s));
}

uint16_t LocalPort(SocketHandle s) {
  sockaddr_storage ss{};
  int len = sizeof(ss);
  if (::getsockname(Sock(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
  if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

}  // namespace netcore::os
