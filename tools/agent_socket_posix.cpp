#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/agent_socket.h"

namespace vantrel::ctl {
namespace {

class PosixStream : public TcpStream {
 public:
  explicit PosixStream(int fd) : fd_(fd) {}
  ~PosixStream() override { ::close(fd_); }

  bool SendAll(const void* data, size_t length) override {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
      const ssize_t n = ::send(fd_, p, length, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      p += n;
      length -= static_cast<size_t>(n);
    }
    return true;
  }

  int Receive(char* buffer, size_t capacity, int timeout_ms) override {
    pollfd pfd{fd_, POLLIN, 0};
    int ready;
    do {
      ready = ::poll(&pfd, 1, timeout_ms);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) return -2;
    if (ready < 0) return -1;
    ssize_t n;
    do {
      n = ::recv(fd_, buffer, capacity, 0);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int>(n);
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<TcpStream> TcpStream::Connect(const std::string& host, uint16_t port, std::string* error) {
  // Names resolve to their first IPv4 address, as the agent listens on IPv4 only.
  sockaddr_in addr{};
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    if (error) *error = "cannot resolve \"" + host + "\" to an IPv4 address: " + ::gai_strerror(rc);
    return nullptr;
  }
  std::memcpy(&addr, found->ai_addr, sizeof addr);
  ::freeaddrinfo(found);
  addr.sin_port = htons(port);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (error) *error = std::string("socket: ") + std::strerror(errno);
    return nullptr;
  }
  // An agent that is stopped stops taking connections once its backlog is
  // full, and a plain connect would then retry for minutes. SO_SNDTIMEO bounds
  // the connect (and later sends) to the default reply limit.
  const timeval limit{15, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    if (error) *error = "cannot connect to " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return std::make_unique<PosixStream>(fd);
}

}  // namespace vantrel::ctl
