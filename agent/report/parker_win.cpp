#include "agent/report/parker.h"

namespace vantrel::agent {

void Parker::Park() {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return notified_; });
  notified_ = false;
}

void Parker::Unpark() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    notified_ = true;
  }
  cv_.notify_one();
}

}  // namespace vantrel::agent
