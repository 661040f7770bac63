// Byte-queue interfaces: Buffer is what the application sees in its read
// handler; InnerBuffer adds what the core's read and send passes use.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "netcore/os/iovec.h"

namespace netcore {

class Buffer {
 public:
  virtual ~Buffer() = default;
  // Copies up to `len` readable bytes without consuming them.
  virtual uint32_t ReadNotMovePt(char* res, uint32_t len) = 0;
  // Copies and consumes up to `len` bytes.
  virtual uint32_t Read(char* res, uint32_t len) = 0;
  virtual void Clear() = 0;
  // Consumes everything up to and including the first `find`, if it fits in
  // `len`; `need_len` reports the length such a read needs (0 when absent).
  virtual uint32_t ReadUntil(char* res, uint32_t len, const char* find, uint32_t find_len,
                             uint32_t& need_len);
  // Offset of the first `find` among the readable bytes, -1 when absent.
  virtual int32_t FindStr(const char* find, uint32_t find_len);
  virtual uint32_t MoveReadPt(uint32_t len) = 0;
  virtual uint32_t GetCanReadLength() = 0;
  virtual uint32_t GetCanWriteLength() = 0;
  // Appends records of the readable bytes to `out`, at most `max_size` bytes,
  // without consuming them: a handler can hand them on without a copy.
  virtual uint32_t GetUseMemoryBlock(std::vector<Iovec>& out, uint32_t max_size) = 0;
};

class InnerBuffer : public Buffer {
 public:
  // Appends; returns the bytes appended.
  virtual uint32_t Write(const char* data, uint32_t len) = 0;
  virtual uint32_t MoveWritePt(uint32_t len) = 0;
  // Appends free-space records to `out`; size 0 asks for whatever is at hand.
  virtual uint32_t GetFreeMemoryBlock(std::vector<Iovec>& out, uint32_t size) = 0;
};

}  // namespace netcore
