// The report's worker pool: tasks run side by side, finished workers are
// reused (the report starts its GPU reads right after the idle-state read
// returns), results and errors reach the waiter, and teardown waits.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "agent/report/task_pool.h"

using namespace vantrel::agent;
using namespace std::chrono_literals;

namespace {

// Opens once `expected` tasks are inside at the same time; false on timeout.
class Rendezvous {
 public:
  explicit Rendezvous(int expected) : expected_(expected) {}
  bool Arrive() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (++arrived_ == expected_) all_.notify_all();
    return all_.wait_for(lock, 10s, [this] { return arrived_ >= expected_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable all_;
  int expected_;
  int arrived_ = 0;
};

TEST(TaskPool, TasksRunSideBySideAndWorkersAreReused) {
  TaskPool pool;
  constexpr int kTasks = 6;
  for (int round = 0; round < 50; ++round) {
    Rendezvous together(kTasks);
    TaskGroup group(pool);
    std::vector<TaskResult<bool>> results;
    for (int i = 0; i < kTasks; ++i) results.push_back(group.Start([&together] { return together.Arrive(); }));
    for (auto& r : results) ASSERT_TRUE(r.get()) << "round " << round << ": a task waited for another";
  }
  EXPECT_EQ(pool.workers(), static_cast<size_t>(kTasks));
}

TEST(TaskPool, TaskStartedRightAfterAResultReusesThatWorker) {
  TaskPool pool;
  for (int round = 0; round < 200; ++round) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    TaskGroup group(pool);
    TaskResult<int> slow = group.Start([released] {
      released.wait();
      return 0;
    });
    ASSERT_EQ(group.Start([] { return 1; }).get(), 1);
    ASSERT_EQ(group.Start([] { return 2; }).get(), 2);
    release.set_value();
    slow.wait();
  }
  EXPECT_EQ(pool.workers(), 2u);
}

TEST(TaskPool, ErrorsReachTheWaiterAndGroupsWaitOnEveryExit) {
  TaskPool pool;
  {
    TaskGroup group(pool);
    TaskResult<int> failing = group.Start([]() -> int { throw std::runtime_error("reader failed"); });
    EXPECT_THROW(failing.get(), std::runtime_error);
    EXPECT_THROW(failing.get(), std::runtime_error);  // the error stays with the result
    EXPECT_EQ(group.Start([] { return 7; }).get(), 7);  // the worker survives a throwing task
  }

  std::atomic<int> finished{0};
  try {
    TaskGroup group(pool);
    for (int i = 0; i < 4; ++i) {
      group.Start([&finished] {
        std::this_thread::sleep_for(20ms);
        return ++finished;
      });
    }
    throw std::runtime_error("a report step failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(finished.load(), 4);
}

}  // namespace
