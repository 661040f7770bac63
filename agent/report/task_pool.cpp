#include "agent/report/task_pool.h"

namespace vantrel::agent {

TaskPool::~TaskPool() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    threads.swap(threads_);
  }
  ready_.notify_all();
  for (std::thread& t : threads) t.join();
}

size_t TaskPool::workers() {
  std::lock_guard<std::mutex> lock(mutex_);
  return threads_.size();
}

void TaskPool::Submit(Job job) {
  std::unique_lock<std::mutex> lock(mutex_);
  jobs_.push_back(std::move(job));
  // Every queued job needs an idle worker of its own, or it would wait for a
  // busy one and the tasks would no longer run side by side.
  if (idle_ >= jobs_.size()) {
    lock.unlock();
    ready_.notify_one();
    return;
  }
  threads_.emplace_back([this] { Work(); });
}

void TaskPool::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  ++idle_;
  for (;;) {
    ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;  // stopping, nothing left to run
    --idle_;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    Publish publish = job();
    job = nullptr;
    lock.lock();
    ++idle_;
    lock.unlock();
    // A notify that came while this worker was away is not lost: the wait's
    // predicate sees the queued job.
    publish();
    publish = nullptr;
    lock.lock();
  }
}

TaskPool& ReportTasks() {
  // Never destroyed: a report may still be running on a detached thread while
  // the process exits, and its tasks need the pool.
  static TaskPool* pool = new TaskPool();
  return *pool;
}

}  // namespace vantrel::agent
