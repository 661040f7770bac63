#include "agent/report/task_pool.h"

#include "agent/report/parker.h"

namespace vantrel::agent {
namespace detail {

struct PoolWorker {
  Parker wake;               // a task was handed over, or the pool stops
  PoolTask* task = nullptr;  // guarded by the pool's lock
  bool stop = false;             // guarded by the pool's lock
  std::thread thread;
};

}  // namespace detail

using detail::PoolWorker;

void PoolTask::Wait() {
  if (pool_ == nullptr) return;
  std::unique_lock<std::mutex> lock(pool_->mutex_);
  if (done_) return;
  watched_ = true;
  // The pool outlives the task, so waiting on its signal is safe even though
  // the task may be destroyed as soon as this returns.
  pool_->finished_.wait(lock, [this] { return done_; });
}

void TaskGroup::WaitAll() {
  std::unique_lock<std::mutex> lock(pool_.mutex_);
  if (running_ == 0) return;
  watching_ = true;
  pool_.finished_.wait(lock, [this] { return running_ == 0; });
  watching_ = false;
}

TaskPool::TaskPool() = default;

TaskPool::~TaskPool() {
  std::vector<std::unique_ptr<PoolWorker>> workers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& w : workers_) w->stop = true;
    workers.swap(workers_);
    idle_.clear();
  }
  for (auto& w : workers) w->wake.Unpark();
  for (auto& w : workers) w->thread.join();
}

size_t TaskPool::workers() {
  std::lock_guard<std::mutex> lock(mutex_);
  return workers_.size();
}

void TaskPool::Run(PoolTask& task, TaskGroup* group) {
  std::unique_lock<std::mutex> lock(mutex_);
  task.group_ = group;
  task.done_ = false;
  task.watched_ = false;
  PoolWorker* worker = nullptr;
  if (idle_.empty()) {
    // No idle worker: a new thread, so the tasks still run side by side.
    // Room is made first so nothing can throw once the thread runs; idle_
    // then never grows while a worker finishes.
    workers_.reserve(workers_.size() + 1);
    idle_.reserve(workers_.size() + 1);
    auto fresh = std::make_unique<PoolWorker>();
    fresh->task = &task;
    PoolWorker* w = fresh.get();
    fresh->thread = std::thread([this, w] { Work(*w); });
    workers_.push_back(std::move(fresh));
  } else {
    worker = idle_.back();
    idle_.pop_back();
    worker->task = &task;
  }
  // Still under the lock, so no worker can finish the task before this.
  task.pool_ = this;
  if (group != nullptr) ++group->running_;
  lock.unlock();
  if (worker != nullptr) worker->wake.Unpark();
}

void TaskPool::Work(PoolWorker& w) {
  for (;;) {
    PoolTask* task = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      task = w.task;
      if (task == nullptr && w.stop) return;
    }
    if (task == nullptr) {
      w.wake.Park();
      continue;
    }
    task->Execute();
    bool wake = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      wake = Finish(w, *task);
    }
    if (wake) finished_.notify_all();
  }
}

// Called with the lock held. True when a waiter is to be woken.
bool TaskPool::Finish(PoolWorker& w, PoolTask& task) {
  // Idle before the waiter can see the result: a waiter that starts its next
  // task at once then finds this worker free instead of making another thread.
  w.task = nullptr;
  idle_.push_back(&w);
  task.done_ = true;
  bool wake = task.watched_;
  if (TaskGroup* group = task.group_) {
    --group->running_;
    wake = wake || (group->running_ == 0 && group->watching_);
  }
  // Once the lock is released the task, and its group, may be gone.
  return wake;
}

TaskPool& ReportTasks() {
  // Never destroyed: a report may still be running on a detached thread while
  // the process exits, and its tasks need the pool.
  static TaskPool* pool = new TaskPool();
  return *pool;
}

}  // namespace vantrel::agent
