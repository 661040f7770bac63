#pragma once
#include <atomic>
#include <memory>
#include <thread>

namespace netcore {

class Thread {
 public:
  Thread() = default;
  virtual ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  virtual void Start();
  virtual void Stop();
  // Joining from the thread itself fails with std::errc::resource_deadlock_would_occur.
  virtual void Join();
  virtual void Run() = 0;

  bool GetStop() const { return stop_.load(); }

 protected:
  std::atomic<bool> stop_{true};
  std::unique_ptr<std::thread> thread_;
};

}  // namespace netcore
