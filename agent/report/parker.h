// A wakeup for one waiting thread. A pool worker sleeps here between tasks:
// a condition variable would cost an extra system call per task, because the
// woken thread retakes its mutex as contended and its unlock then wakes no
// one.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vantrel::agent {

class Parker {
 public:
  // Returns once Unpark() has been called since the previous Park() returned
  // (at once when it already was). Only one thread parks on a Parker.
  void Park();
  // Wakes the parked thread, or lets its next Park() return at once.
  void Unpark();

 private:
  std::atomic<uint32_t> state_{0};  // Linux: the futex word
  std::mutex mutex_;                // Windows
  std::condition_variable cv_;      // Windows
  [[maybe_unused]] bool notified_ = false;  // Windows, guarded by mutex_
};

}  // namespace vantrel::agent
