#pragma once
#include <algorithm>
#include <cstdint>
#include <string>

#include "netcore/buffer/buffer.h"

namespace netcore {

// The application's view of a connection. Write and Close may be called from
// any thread; the rest reads fixed values.
class NetSocket {
 public:
  virtual ~NetSocket() = default;
  virtual uint64_t GetSocket() = 0;
  virtual uint16_t GetListenPort() = 0;
  virtual bool GetAddress(std::string& ip, uint16_t& port) = 0;
  // Queues `len` bytes as one piece. False when the connection has ended or
  // the send queue already holds more than 4 MiB; the bytes are then dropped.
  virtual bool Write(const char* src, uint32_t len) = 0;
  // As above, taking the bytes over: a write from another thread then
  // travels to the IO thread without a copy of its own.
  virtual bool Write(std::string&& bytes) {
    if (bytes.size() > UINT32_MAX) return false;
    return Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
  }
  // Moves up to `len` bytes from the front of `from` (a read handler's
  // buffer) into the output, with the limit and the dropping of the writes
  // above. On the IO thread with nothing queued the kernel takes them
  // straight from the buffer's blocks, so a relay or an echo copies nothing.
  virtual bool Write(Buffer& from, uint32_t len) {
    len = std::min(len, from.GetCanReadLength());
    std::string bytes(len, '\0');
    from.Read(bytes.data(), len);
    return Write(std::move(bytes));
  }
  virtual void Close() = 0;
  // A timer calling the core's timer handler with this socket.
  virtual void AddTimer(uint32_t interval, bool always = false) = 0;
  virtual void StopTimer() = 0;
  virtual void SetContext(void* context) = 0;
  virtual void* GetContext() = 0;
};

}  // namespace netcore
