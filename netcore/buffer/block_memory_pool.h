#pragma once
#include <cstdint>
#include <mutex>
#include <vector>

namespace netcore {

// Fixed-size raw blocks for one connection's buffers. Blocks are taken from
// the C heap `add_num` at a time; the pool never keeps more than `max_free`
// free blocks: on reaching one more it frees the oldest half.
class BlockMemoryPool {
 public:
  static constexpr uint32_t kMaxFreeBlocks = 20;

  explicit BlockMemoryPool(uint32_t block_size = 1024, uint32_t add_num = 5, uint32_t max_free = kMaxFreeBlocks);
  virtual ~BlockMemoryPool();
  BlockMemoryPool(const BlockMemoryPool&) = delete;
  BlockMemoryPool& operator=(const BlockMemoryPool&) = delete;

  virtual void* PoolLargeMalloc();
  virtual void PoolLargeFree(void*& block);
  virtual uint32_t GetSize();
  virtual uint32_t GetBlockLength() { return block_size_; }
  virtual void ReleaseHalf();
  // 0 means the growth count given at construction.
  virtual void Expansion(uint32_t num = 0);

 private:
  void ReleaseHalfLocked();
  void ExpansionLocked(uint32_t num);

  std::mutex mutex_;
  const uint32_t block_size_;
  const uint32_t add_num_;
  const uint32_t max_free_;
  std::vector<void*> free_blocks_;  // oldest first
};

}  // namespace netcore
