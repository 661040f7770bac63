// Worker threads for the report's parallel reader tasks. Like std::async with
// std::launch::async every task starts at once on a thread of its own (a new
// one is made whenever no idle worker is free), but finished workers wait for
// the next task instead of ending: creating and tearing down a dozen threads
// per report was most of the report's CPU cost.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace vantrel::agent {

class TaskPool {
 public:
  TaskPool() = default;
  TaskPool(const TaskPool&) = delete;
  TaskPool& operator=(const TaskPool&) = delete;
  // Lets queued tasks finish, then joins every worker.
  ~TaskPool();

  template <typename F>
  auto Run(F f) -> std::future<std::invoke_result_t<F>> {
    using R = std::invoke_result_t<F>;
    auto promise = std::make_shared<std::promise<R>>();
    std::future<R> result = promise->get_future();
    // The task runs first and hands back how to publish its result, so the
    // worker can count itself idle before the waiter wakes: a waiter that
    // starts its next task at once then finds this worker free instead of
    // making another thread.
    Submit([promise, f = std::move(f)]() mutable -> Publish {
      try {
        if constexpr (std::is_void_v<R>) {
          f();
          return [promise] { promise->set_value(); };
        } else {
          return [promise, value = f()]() mutable { promise->set_value(std::move(value)); };
        }
      } catch (...) {
        return [promise, error = std::current_exception()] { promise->set_exception(error); };
      }
    });
    return result;
  }

  // Threads made so far.
  size_t workers();

 private:
  using Publish = std::function<void()>;
  using Job = std::function<Publish()>;

  void Submit(Job job);
  void Work();

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Job> jobs_;
  std::vector<std::thread> threads_;
  size_t idle_ = 0;
  bool stopping_ = false;
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
