// A blocking loopback TCP connection for vantrelctl's agent commands.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vantrel::ctl {

class TcpStream {
 public:
  virtual ~TcpStream() = default;
  // Sends every byte; false when the connection failed.
  virtual bool SendAll(const void* data, size_t length) = 0;
  // Waits up to `timeout_ms` (negative: without limit) for bytes. Returns the
  // count read, 0 when the peer closed, -1 on an error, -2 on a time-out.
  virtual int Receive(char* buffer, size_t capacity, int timeout_ms) = 0;

  // Null on failure, with a readable reason in *error.
  static std::unique_ptr<TcpStream> Connect(const std::string& host, uint16_t port, std::string* error);
};

}  // namespace vantrel::ctl
