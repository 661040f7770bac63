#include "netcore/buffer/block_memory_pool.h"

#include <cstdlib>
#include <stdexcept>

namespace netcore {

BlockMemoryPool::BlockMemoryPool(uint32_t block_size, uint32_t add_num, uint32_t max_free)
    : block_size_(block_size), add_num_(add_num == 0 ? 1 : add_num), max_free_(max_free == 0 ? 1 : max_free) {}

BlockMemoryPool::~BlockMemoryPool() {
  for (void* b : free_blocks_) std::free(b);
}

void* BlockMemoryPool::PoolLargeMalloc() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (free_blocks_.empty()) ExpansionLocked(add_num_);
  void* b = free_blocks_.back();
  free_blocks_.pop_back();
  return b;
}

void BlockMemoryPool::PoolLargeFree(void*& block) {
  if (block == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex_);
  free_blocks_.push_back(block);
  block = nullptr;
  if (free_blocks_.size() > max_free_) ReleaseHalfLocked();
}

uint32_t BlockMemoryPool::GetSize() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<uint32_t>(free_blocks_.size());
}

void BlockMemoryPool::ReleaseHalf() {
  std::lock_guard<std::mutex> lock(mutex_);
  ReleaseHalfLocked();
}

void BlockMemoryPool::Expansion(uint32_t num) {
  std::lock_guard<std::mutex> lock(mutex_);
  ExpansionLocked(num == 0 ? add_num_ : num);
}

void BlockMemoryPool::ReleaseHalfLocked() {
  const size_t half = free_blocks_.size() / 2;
  for (size_t i = 0; i < half; ++i) std::free(free_blocks_[i]);
  free_blocks_.erase(free_blocks_.begin(), free_blocks_.begin() + static_cast<std::ptrdiff_t>(half));
}

void BlockMemoryPool::ExpansionLocked(uint32_t num) {
  free_blocks_.reserve(free_blocks_.size() + num);
  for (uint32_t i = 0; i < num; ++i) {
    void* b = std::malloc(block_size_);
    if (b == nullptr) throw std::runtime_error("not enough memory");
    free_blocks_.push_back(b);
  }
}

}  // namespace netcore
