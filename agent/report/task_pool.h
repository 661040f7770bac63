// Worker threads for the report's parallel reader tasks. Like std::async with
// std::launch::async every task starts at once on a thread of its own (a new
// one is made whenever no idle worker is free), but finished workers wait for
// the next task instead of ending: creating and tearing down a dozen threads
// per report was most of the report's CPU cost.
#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

namespace vantrel::agent {

class TaskPool {
 public:
  template <typename F>
  auto Run(F f) -> std::future<std::invoke_result_t<F>> {
    using R = std::invoke_result_t<F>;
    auto task = std::make_shared<std::packaged_task<R()>>(std::move(f));
    std::future<R> result = task->get_future();
    Submit([task] { (*task)(); });
    return result;
  }

 private:
  void Submit(std::function<void()> job);
  void Work();

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> jobs_;
  size_t idle_ = 0;
};

// The pool of the process (its workers live until the process ends).
TaskPool& ReportTasks();

// Waits, when it goes out of scope, for every future handed to it that is
// still pending, so no task outlives the report that started it, also when a
// step throws.
class TaskGroup {
 public:
  TaskGroup() = default;
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;
  ~TaskGroup() {
    for (auto& wait : waits_) wait();
  }
  template <typename F>
  auto Start(F f) -> std::shared_future<std::invoke_result_t<F>> {
    std::shared_future<std::invoke_result_t<F>> future = ReportTasks().Run(std::move(f)).share();
    waits_.push_back([future] { future.wait(); });
    return future;
  }

 private:
  std::vector<std::function<void()>> waits_;
};

}  // namespace vantrel::agent
