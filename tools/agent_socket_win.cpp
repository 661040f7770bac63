#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <string>

#include "tools/agent_socket.h"

namespace vantrel::ctl {
namespace {

bool StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

class WinStream : public TcpStream {
 public:
  explicit WinStream(SOCKET s) : s_(s) {}
  ~WinStream() override { closesocket(s_); }

  bool SendAll(const void* data, size_t length) override {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
      const int chunk = length > 0x10000000 ? 0x10000000 : static_cast<int>(length);
      const int n = send(s_, p, chunk, 0);
      if (n <= 0) return false;
      p += n;
      length -= static_cast<size_t>(n);
    }
    return true;
  }

  int Receive(char* buffer, size_t capacity, int timeout_ms) override {
    WSAPOLLFD pfd{};
    pfd.fd = s_;
    pfd.events = POLLRDNORM;
    const int ready = WSAPoll(&pfd, 1, timeout_ms);
    if (ready == 0) return -2;
    if (ready < 0) return -1;
    const int n = recv(s_, buffer, capacity > 0x10000000 ? 0x10000000 : static_cast<int>(capacity), 0);
    return n < 0 ? -1 : n;
  }

 private:
  SOCKET s_;
};

}  // namespace

std::unique_ptr<TcpStream> TcpStream::Connect(const std::string& host, uint16_t port, std::string* error) {
  if (!StartWinsock()) {
    if (error) *error = "WSAStartup failed";
    return nullptr;
  }
  // Names resolve to their first IPv4 address, as the agent listens on IPv4 only.
  sockaddr_in addr{};
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    if (error) *error = "cannot resolve \"" + host + "\" to an IPv4 address: error " + std::to_string(rc);
    return nullptr;
  }
  std::memcpy(&addr, found->ai_addr, sizeof addr);
  freeaddrinfo(found);
  addr.sin_port = htons(port);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    if (error) *error = "socket: error " + std::to_string(WSAGetLastError());
    return nullptr;
  }
  if (connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    if (error) {
      *error = "cannot connect to " + host + ":" + std::to_string(port) + ": error " + std::to_string(WSAGetLastError());
    }
    closesocket(s);
    return nullptr;
  }
  const BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one));
  return std::make_unique<WinStream>(s);
}

}  // namespace vantrel::ctl
