#pragma once
#include <array>
#include <memory>
#include <mutex>
#include <vector>

#include "netcore/alloter/alloter_interface.h"

namespace netcore {

// Small-object pool: sizes up to 256 bytes come from 64 free lists, one per
// 4-byte size class, refilled 20 objects at a time from chunks; larger sizes
// go straight to the C heap. Chunks are returned only on destruction.
//
// The free-list link lives inside each free object, and objects carry
// pointers, so every class is carved with a stride rounded up to 8 bytes:
// objects are 8-byte aligned and the 4-byte class holds a pointer.
class PoolAlloter : public Alloter {
 public:
  static constexpr uint32_t kMaxBytes = 256;
  static constexpr uint32_t kClassCount = kMaxBytes / 4;
  static constexpr uint32_t kRefillCount = 20;
  static constexpr uint32_t kObjectAlign = 8;

  PoolAlloter();
  ~PoolAlloter() override;
  PoolAlloter(const PoolAlloter&) = delete;
  PoolAlloter& operator=(const PoolAlloter&) = delete;

  void* Malloc(uint32_t size) override;
  void* MallocAlign(uint32_t size) override;
  void* MallocZero(uint32_t size) override;
  void Free(void*& data, uint32_t size) override;

  static uint32_t ClassIndex(uint32_t size) { return (size + 3) / 4 - 1; }
  static uint32_t ClassStride(uint32_t index) {
    return ((index + 1) * 4 + kObjectAlign - 1) & ~(kObjectAlign - 1);
  }
  // Chunks taken from the heap so far (for tests and diagnostics).
  size_t ChunkCount();

 private:
  struct Node {
    Node* next;
  };
  void Refill(uint32_t index);

  std::mutex mutex_;
  std::array<Node*, kClassCount> free_lists_{};
  char* chunk_pos_ = nullptr;
  char* chunk_end_ = nullptr;
  std::vector<void*> chunks_;
  std::shared_ptr<Alloter> heap_;
};

std::shared_ptr<PoolAlloter> MakePoolAlloter();

}  // namespace netcore
