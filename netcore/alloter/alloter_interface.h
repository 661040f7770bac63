// Allocation interface of the network core: every per-connection object comes
// from one allocator so a connection's small objects share one pool.
#pragma once
#include <cstdint>

namespace netcore {

class Alloter {
 public:
  virtual ~Alloter() = default;
  virtual void* Malloc(uint32_t size) = 0;
  // Size raised to the next multiple of 4.
  virtual void* MallocAlign(uint32_t size) = 0;
  virtual void* MallocZero(uint32_t size) = 0;
  // `size` must be the size the block was allocated with; `data` is set to null.
  virtual void Free(void*& data, uint32_t size) = 0;
};

}  // namespace netcore
