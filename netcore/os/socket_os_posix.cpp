#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "netcore/os/socket_os.h"

namespace netcore::os {

static_assert(kEpollIn == EPOLLIN && kEpollOut == EPOLLOUT && kEpollErr == EPOLLERR &&
              kEpollHup == EPOLLHUP && kEpollRdHup == EPOLLRDHUP);
static_assert(sizeof(Iovec) == sizeof(struct iovec) &&
              offsetof(Iovec, iov_base) == offsetof(struct iovec, iov_base) &&
              offsetof(Iovec, iov_len) == offsetof(struct iovec, iov_len));

namespace {
int Fd(SocketHandle s) { return static_cast<int>(s); }
SocketHandle Handle(int fd) { return fd < 0 ? kInvalidSocket : static_cast<SocketHandle>(fd); }
}  // namespace

void NetInit() {}
int LastError() { return errno; }
bool IsWouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }
bool IsInterrupted(int err) { return err == EINTR; }
bool IsConnReset(int err) { return err == ECONNRESET; }
std::string ErrorText(int err) { return std::strerror(err); }

uint64_t CurrentThreadId() { return static_cast<uint64_t>(::syscall(SYS_gettid)); }

uint64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint32_t ProcessorCount() { return std::thread::hardware_concurrency(); }

EpollHandle EpollCreate() {
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  return ep < 0 ? kInvalidEpoll : static_cast<EpollHandle>(ep);
}

void EpollClose(EpollHandle ep) {
  if (ep != kInvalidEpoll) ::close(static_cast<int>(ep));
}

int EpollCtl(EpollHandle ep, EpollOp op, SocketHandle s, uint32_t events, void* data) {
  epoll_event ev{};
  ev.events = events;
  ev.data.ptr = data;
  const int o = op == EpollOp::kAdd ? EPOLL_CTL_ADD : op == EpollOp::kMod ? EPOLL_CTL_MOD : EPOLL_CTL_DEL;
  return ::epoll_ctl(static_cast<int>(ep), o, Fd(s), &ev);
}

int EpollWait(EpollHandle ep, ReadyEvent* out, int max, int timeout_ms) {
  epoll_event evs[1024];
  if (max > 1024) max = 1024;
  const int n = ::epoll_wait(static_cast<int>(ep), evs, max, timeout_ms);
  for (int i = 0; i < n; ++i) out[i] = {evs[i].events, evs[i].data.ptr};
  return n;
}

bool MakeWakeChannel(SocketHandle& rd, SocketHandle& wr) {
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return false;
  rd = Handle(fds[0]);
  wr = Handle(fds[1]);
  return true;
}

bool WakeWrite(SocketHandle wr) {
  const char b = 1;
  return ::write(Fd(wr), &b, 1) == 1;
}

bool WakeRead(SocketHandle rd) {
  char b;
  return ::read(Fd(rd), &b, 1) == 1;
}

void CloseWakeChannel(SocketHandle rd, SocketHandle wr) {
  if (rd != kInvalidSocket) ::close(Fd(rd));
  if (wr != kInvalidSocket) ::close(Fd(wr));
}

SocketHandle TcpSocket(bool ipv6) {
  const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ipv6) {
    int off = 0;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
  }
  return Handle(fd);
}

void SetListenOptions(SocketHandle s) {
  int on = 1;
  ::setsockopt(Fd(s), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
}

namespace {
bool MakeAddress(bool ipv6, const std::string& ip, uint16_t port, sockaddr_storage& ss,
                 socklen_t& len) {
  std::memset(&ss, 0, sizeof(ss));
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
  socklen_t len = 0;
  if (!MakeAddress(ipv6, ip, port, ss, len)) {
    errno = EINVAL;
    return false;
  }
  return ::bind(Fd(s), reinterpret_cast<sockaddr*>(&ss), len) == 0;
}

bool Listen(SocketHandle s, int backlog) { return ::listen(Fd(s), backlog) == 0; }

bool SetNonBlocking(SocketHandle s) {
  const int fl = ::fcntl(Fd(s), F_GETFL, 0);
  return fl >= 0 && ::fcntl(Fd(s), F_SETFL, fl | O_NONBLOCK) == 0;
}

void SetNoDelay(SocketHandle s) {
  int on = 1;
  ::setsockopt(Fd(s), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

SocketHandle Accept(SocketHandle s, std::string& ip, uint16_t& port) {
  sockaddr_storage ss{};
  socklen_t len = sizeof(ss);
  const int fd = ::accept4(Fd(s), reinterpret_cast<sockaddr*>(&ss), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return kInvalidSocket;
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
  return Handle(fd);
}

int Connect(SocketHandle s, bool ipv6, const std::string& ip, uint16_t port) {
  sockaddr_storage ss;
  socklen_t len = 0;
  if (!MakeAddress(ipv6, ip, port, ss, len)) {
    errno = EINVAL;
    return -1;
  }
  if (::connect(Fd(s), reinterpret_cast<sockaddr*>(&ss), len) == 0) return 0;
  return errno == EINPROGRESS ? 1 : -1;
}

int SocketError(SocketHandle s) {
  int err = 0;
  socklen_t len = sizeof(err);
  if (::getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

// A single record takes the plain calls: they skip the kernel's import of an
// iovec array (and, for the send, of a message header).
int64_t ReadV(SocketHandle s, const Iovec* iov, int count) {
  if (count == 1) return ::recv(Fd(s), iov[0].iov_base, iov[0].iov_len, 0);
  return ::readv(Fd(s), reinterpret_cast<const struct iovec*>(iov), count);
}

int64_t WriteV(SocketHandle s, const Iovec* iov, int count) {
  if (count == 1) return ::send(Fd(s), iov[0].iov_base, iov[0].iov_len, MSG_NOSIGNAL);
  msghdr msg{};
  msg.msg_iov = const_cast<struct iovec*>(reinterpret_cast<const struct iovec*>(iov));
  msg.msg_iovlen = static_cast<size_t>(count);
  return ::sendmsg(Fd(s), &msg, MSG_NOSIGNAL);
}

void CloseSocket(SocketHandle s) {
  if (s != kInvalidSocket) ::close(Fd(s));
}

uint16_t LocalPort(SocketHandle s) {
  sockaddr_storage ss{};
  socklen_t len = sizeof(ss);
  if (::getsockname(Fd(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
  if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

}  // namespace netcore::os
