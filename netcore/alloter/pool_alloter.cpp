#include "netcore/alloter/pool_alloter.h"

#include <algorithm>
#include <cstring>

#include "netcore/alloter/normal_alloter.h"

namespace netcore {

PoolAlloter::PoolAlloter() : heap_(MakeNormalAlloter()) {}

PoolAlloter::~PoolAlloter() {
  for (void* c : chunks_) heap_->Free(c, 0);
}

void* PoolAlloter::Malloc(uint32_t size) {
  if (size == 0) size = 1;
  if (size > kMaxBytes) return heap_->Malloc(size);
  const uint32_t index = ClassIndex(size);
  std::lock_guard<std::mutex> lock(mutex_);
  if (free_lists_[index] == nullptr) Refill(index);
  Node* n = free_lists_[index];
  free_lists_[index] = n->next;
  return n;
}

void* PoolAlloter::MallocAlign(uint32_t size) { return Malloc((size + 3u) & ~3u); }

void* PoolAlloter::MallocZero(uint32_t size) {
  void* p = Malloc(size);
  std::memset(p, 0, size);
  return p;
}

void PoolAlloter::Free(void*& data, uint32_t size) {
  if (data == nullptr) return;
  if (size == 0) size = 1;
  if (size > kMaxBytes) {
    heap_->Free(data, size);
    return;
  }
  const uint32_t index = ClassIndex(size);
  std::lock_guard<std::mutex> lock(mutex_);
  Node* n = static_cast<Node*>(data);
  n->next = free_lists_[index];
  free_lists_[index] = n;
  data = nullptr;
}

size_t PoolAlloter::ChunkCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return chunks_.size();
}

void PoolAlloter::Refill(uint32_t index) {
  const uint32_t stride = ClassStride(index);
  size_t fit = static_cast<size_t>(chunk_end_ - chunk_pos_) / stride;
  if (fit == 0) {
    // The rest of the chunk is a multiple of 8 below one stride (<= 256): it
    // becomes one object of exactly its own size class.
    const uint32_t rest = static_cast<uint32_t>(chunk_end_ - chunk_pos_);
    if (rest >= kObjectAlign) {
      const uint32_t rest_index = ClassIndex(rest);
      Node* n = reinterpret_cast<Node*>(chunk_pos_);
      n->next = free_lists_[rest_index];
      free_lists_[rest_index] = n;
    }
    const uint32_t bytes = stride * kRefillCount;
    chunk_pos_ = static_cast<char*>(heap_->Malloc(bytes));
    chunk_end_ = chunk_pos_ + bytes;
    chunks_.push_back(chunk_pos_);
    fit = kRefillCount;
  }
  fit = std::min<size_t>(fit, kRefillCount);
  for (size_t i = 0; i < fit; ++i) {
    Node* n = reinterpret_cast<Node*>(chunk_pos_);
    n->next = free_lists_[index];
    free_lists_[index] = n;
    chunk_pos_ += stride;
  }
}

std::shared_ptr<PoolAlloter> MakePoolAlloter() { return std::make_shared<PoolAlloter>(); }

}  // namespace netcore
