#pragma once
#include <memory>

#include "netcore/alloter/alloter_wrap.h"
#include "netcore/buffer/block_memory_pool.h"
#include "netcore/buffer/buffer_block.h"

namespace netcore {

// A chain of BufferBlocks: bytes are appended at the tail and consumed at the
// head. A block that has been read empty goes back to the pool at once, and
// blocks offered for a read but left unfilled go back after the write
// position moves, so an idle queue holds no memory.
class BufferQueue : public InnerBuffer {
 public:
  BufferQueue(std::shared_ptr<BlockMemoryPool> pool, std::shared_ptr<AlloterWrap> alloter);
  ~BufferQueue() override;
  BufferQueue(const BufferQueue&) = delete;
  BufferQueue& operator=(const BufferQueue&) = delete;

  uint32_t ReadNotMovePt(char* res, uint32_t len) override;
  uint32_t Read(char* res, uint32_t len) override;
  void Clear() override;
  uint32_t MoveReadPt(uint32_t len) override;
  uint32_t GetCanReadLength() override { return can_read_length_; }
  // Free space of the blocks held now (more blocks are added on demand).
  uint32_t GetCanWriteLength() override;

  uint32_t Write(const char* data, uint32_t len) override;
  uint32_t MoveWritePt(uint32_t len) override;
  uint32_t GetFreeMemoryBlock(std::vector<Iovec>& out, uint32_t size) override;
  uint32_t GetUseMemoryBlock(std::vector<Iovec>& out, uint32_t max_size) override;

  uint32_t BlockCount() const { return block_count_; }

 private:
  BufferBlock* AppendBlock();
  void PopHead();
  void TrimEmptyTail();

  std::shared_ptr<BlockMemoryPool> pool_;
  std::shared_ptr<AlloterWrap> alloter_;
  BufferBlock* head_ = nullptr;   // the block read from
  BufferBlock* tail_ = nullptr;
  BufferBlock* write_ = nullptr;  // the first block with free space, or null
  uint32_t block_count_ = 0;
  uint32_t can_read_length_ = 0;
};

}  // namespace netcore
