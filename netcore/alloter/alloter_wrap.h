// Typed allocation over one shared Alloter.
#pragma once
#include <cstddef>
#include <memory>
#include <new>
#include <utility>

#include "netcore/alloter/alloter_interface.h"

namespace netcore {

// Standard allocator adaptor; copies share (and keep alive) the Alloter.
template <typename T>
class StlAlloter {
 public:
  using value_type = T;
  explicit StlAlloter(std::shared_ptr<Alloter> a) : alloter_(std::move(a)) {}
  template <typename U>
  StlAlloter(const StlAlloter<U>& o) : alloter_(o.alloter_) {}
  T* allocate(size_t n) {
    static_assert(alignof(T) <= 8, "pool objects are 8-byte aligned");
    return static_cast<T*>(alloter_->Malloc(static_cast<uint32_t>(n * sizeof(T))));
  }
  void deallocate(T* p, size_t n) {
    void* v = p;
    alloter_->Free(v, static_cast<uint32_t>(n * sizeof(T)));
  }
  template <typename U>
  bool operator==(const StlAlloter<U>& o) const { return alloter_ == o.alloter_; }

  std::shared_ptr<Alloter> alloter_;
};

class AlloterWrap {
 public:
  explicit AlloterWrap(std::shared_ptr<Alloter> a) : alloter_(std::move(a)) {}

  template <typename T, typename... Args>
  T* PoolNew(Args&&... args) {
    static_assert(alignof(T) <= 8, "pool objects are 8-byte aligned");
    void* p = alloter_->Malloc(sizeof(T));
    try {
      return new (p) T(std::forward<Args>(args)...);
    } catch (...) {
      alloter_->Free(p, sizeof(T));
      throw;
    }
  }

  template <typename T>
  void PoolDelete(T*& obj) {
    if (obj == nullptr) return;
    obj->~T();
    void* p = obj;
    alloter_->Free(p, sizeof(T));
    obj = nullptr;
  }

  // Object and control block in one pool allocation; the Alloter stays alive
  // until the last reference is gone.
  template <typename T, typename... Args>
  std::shared_ptr<T> PoolNewSharePtr(Args&&... args) {
    return std::allocate_shared<T>(StlAlloter<T>(alloter_), std::forward<Args>(args)...);
  }

  void* Malloc(uint32_t size) { return alloter_->Malloc(size); }
  void Free(void*& p, uint32_t size) { alloter_->Free(p, size); }
  const std::shared_ptr<Alloter>& GetAlloter() const { return alloter_; }

 private:
  std::shared_ptr<Alloter> alloter_;
};

}  // namespace netcore
