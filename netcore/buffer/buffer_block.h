#pragma once
#include <memory>

#include "netcore/buffer/block_memory_pool.h"
#include "netcore/buffer/buffer.h"

namespace netcore {

// Intrusive singly linked list link.
template <typename T>
struct ListSolt {
  T* next_ = nullptr;
};

// A ring buffer over one raw block of the connection's BlockMemoryPool; the
// block goes back to the pool when the BufferBlock is destroyed.
class BufferBlock : public InnerBuffer, public ListSolt<BufferBlock> {
 public:
  explicit BufferBlock(std::shared_ptr<BlockMemoryPool> pool);
  ~BufferBlock() override;
  BufferBlock(const BufferBlock&) = delete;
  BufferBlock& operator=(const BufferBlock&) = delete;

  uint32_t ReadNotMovePt(char* res, uint32_t len) override;
  uint32_t Read(char* res, uint32_t len) override;
  void Clear() override;
  uint32_t MoveReadPt(uint32_t len) override;
  uint32_t GetCanReadLength() override;
  uint32_t GetCanWriteLength() override;

  uint32_t Write(const char* data, uint32_t len) override;
  uint32_t MoveWritePt(uint32_t len) override;
  // Up to two records each (the ring may wrap); `size` is ignored: a block
  // offers all it has.
  uint32_t GetFreeMemoryBlock(std::vector<Iovec>& out, uint32_t size) override;
  uint32_t GetUseMemoryBlock(std::vector<Iovec>& out, uint32_t max_size) override;

  uint32_t Capacity() const { return static_cast<uint32_t>(end_ - start_); }

 private:
  // Copies out up to len bytes from the read position without moving it.
  uint32_t Peek(char* res, uint32_t len) const;
  uint32_t Readable() const;

  std::shared_ptr<BlockMemoryPool> pool_;
  char* start_;
  char* end_;
  char* read_;
  char* write_;
  bool full_ = false;  // tells a full block from an empty one when read_ == write_
};

}  // namespace netcore
