#include "netcore/alloter/normal_alloter.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace netcore {

void* NormalAlloter::Malloc(uint32_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::runtime_error("not enough memory");
  return p;
}

void* NormalAlloter::MallocAlign(uint32_t size) { return Malloc((size + 3u) & ~3u); }

void* NormalAlloter::MallocZero(uint32_t size) {
  void* p = Malloc(size);
  std::memset(p, 0, size);
  return p;
}

void NormalAlloter::Free(void*& data, uint32_t) {
  std::free(data);
  data = nullptr;
}

std::shared_ptr<NormalAlloter> MakeNormalAlloter() { return std::make_shared<NormalAlloter>(); }

}  // namespace netcore
