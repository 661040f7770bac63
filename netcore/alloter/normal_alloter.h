#pragma once
#include <memory>

#include "netcore/alloter/alloter_interface.h"

namespace netcore {

// The C heap. Exhaustion raises std::runtime_error("not enough memory").
class NormalAlloter : public Alloter {
 public:
  void* Malloc(uint32_t size) override;
  void* MallocAlign(uint32_t size) override;
  void* MallocZero(uint32_t size) override;
  void Free(void*& data, uint32_t size) override;
};

std::shared_ptr<NormalAlloter> MakeNormalAlloter();

}  // namespace netcore
