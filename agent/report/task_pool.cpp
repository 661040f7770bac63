#include "agent/report/task_pool.h"

#include <thread>

namespace vantrel::agent {

void TaskPool::Submit(std::function<void()> job) {
  std::unique_lock<std::mutex> lock(mutex_);
  jobs_.push_back(std::move(job));
  // Every queued job needs an idle worker of its own, or it would wait for a
  // busy one and the tasks would no longer run side by side.
  if (idle_ >= jobs_.size()) {
    lock.unlock();
    ready_.notify_one();
    return;
  }
  lock.unlock();
  std::thread([this] { Work(); }).detach();
}

void TaskPool::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ++idle_;
    ready_.wait(lock, [this] { return !jobs_.empty(); });
    --idle_;
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    job();
    job = nullptr;
    lock.lock();
  }
}

TaskPool& ReportTasks() {
  static TaskPool* pool = new TaskPool();  // workers outlive main
  return *pool;
}

}  // namespace vantrel::agent
