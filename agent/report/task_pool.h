// Worker threads for the report's parallel reader tasks. Like std::async with
// std::launch::async every task starts at once on a thread of its own (a new
// one is made whenever no idle worker is free), but finished workers wait for
// the next task instead of ending: creating and tearing down a dozen threads
// per report was most of the report's CPU cost.
//
// A task is created, read and destroyed by the thread that started it; the
// worker only runs it. Memory then goes back to the allocator cache of the
// thread that took it, instead of drifting into the caches of a dozen
// workers, which made the process grow for thousands of reports.
//
// Each worker is handed its task directly, so a wakeup always finds work, and
// a waiter is woken only for what it waits for: one task, or the last task of
// its group.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace vantrel::agent {

class TaskPool;
class TaskGroup;
namespace detail {
struct PoolWorker;
}

// One unit of work, owned by the thread that starts it. Its fields other
// than the result are guarded by the pool's lock.
class PoolTask {
 public:
  PoolTask() = default;
  PoolTask(const PoolTask&) = delete;
  PoolTask& operator=(const PoolTask&) = delete;
  virtual ~PoolTask() = default;

  // Returns once the task has run (at once for a task never started).
  void Wait();

 protected:
  virtual void Execute() noexcept = 0;

 private:
  friend class TaskPool;
  TaskPool* pool_ = nullptr;  // set by Run
  TaskGroup* group_ = nullptr;
  bool done_ = false;
  bool watched_ = false;  // someone waits for this task alone
};

// A task computing a value of type R (not void).
template <typename R>
class ResultTask : public PoolTask {
 public:
  // The value, or the exception the task raised.
  const R& Get() {
    Wait();
    if (error_) std::rethrow_exception(error_);
    return *value_;
  }

 protected:
  std::optional<R> value_;
  std::exception_ptr error_;
};

template <typename R, typename F>
class FunctionTask final : public ResultTask<R> {
 public:
  explicit FunctionTask(F f) : f_(std::move(f)) {}

 private:
  void Execute() noexcept override {
    try {
      this->value_.emplace(f_());
    } catch (...) {
      this->error_ = std::current_exception();
    }
  }
  F f_;
};

class TaskPool {
 public:
  TaskPool();
  TaskPool(const TaskPool&) = delete;
  TaskPool& operator=(const TaskPool&) = delete;
  // Lets running tasks finish, then joins every worker.
  ~TaskPool();

  // Starts `task` on a worker at once, counted in `group` when given. The
  // caller keeps it alive until its Wait() has returned.
  void Run(PoolTask& task, TaskGroup* group = nullptr);

  // Threads made so far.
  size_t workers();

 private:
  friend class PoolTask;
  friend class TaskGroup;
  void Work(detail::PoolWorker& worker);
  bool Finish(detail::PoolWorker& worker, PoolTask& task);

  std::mutex mutex_;                  // guards everything below and the tasks' state
  std::condition_variable finished_;  // a watched task, or a watched group, is done
  std::vector<std::unique_ptr<detail::PoolWorker>> workers_;
  std::vector<detail::PoolWorker*> idle_;  // most recently idle last
};

// The pool of the process (its workers live until the process ends).
TaskPool& ReportTasks();

// A started task's result, valid while its group lives.
template <typename R>
class TaskResult {
 public:
  TaskResult() = default;
  explicit TaskResult(ResultTask<R>* task) : task_(task) {}
  const R& get() const { return task_->Get(); }
  void wait() const { task_->Wait(); }

 private:
  ResultTask<R>* task_ = nullptr;
};

// Owns the tasks it starts and waits, when it goes out of scope, for every
// one still running, so no task outlives the report that started it, also
// when a step throws.
class TaskGroup {
 public:
  explicit TaskGroup(TaskPool& pool = ReportTasks()) : pool_(pool) {}
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;
  ~TaskGroup() { WaitAll(); }

  template <typename F>
  auto Start(F f) -> TaskResult<std::invoke_result_t<F>> {
    using R = std::invoke_result_t<F>;
    static_assert(!std::is_void_v<R>, "a task returns its result");
    auto task = std::make_unique<FunctionTask<R, F>>(std::move(f));
    ResultTask<R>* result = task.get();
    tasks_.push_back(std::move(task));
    try {
      pool_.Run(*result, this);
    } catch (...) {
      tasks_.pop_back();  // never started: nothing to wait for
      throw;
    }
    return TaskResult<R>(result);
  }

  // Returns once every task started so far has run: one wakeup for all.
  void WaitAll();

 private:
  friend class TaskPool;
  TaskPool& pool_;
  std::vector<std::unique_ptr<PoolTask>> tasks_;
  size_t running_ = 0;    // guarded by the pool's lock
  bool watching_ = false;  // guarded by the pool's lock
};

}  // namespace vantrel::agent
