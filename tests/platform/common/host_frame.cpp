// The single-instance guard and the hidden host window with its loop, on the
// real platform (Windows under Wine: a real hidden window).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/host_window.h"
#include "common/single_instance.h"
#include "tests/support/test_env.h"

namespace {

using vantrel::HostWindow;
using vantrel::HostWindowConfig;
using vantrel::SingleInstance;

TEST(SingleInstance, OneHolderPerNameUntilReleased) {
  vantrel::testing::ScopedTestEnv env;
  const std::wstring name = vantrel::testing::UniqueName(L"VantrelTestGuard-{A1}-");
  auto first = SingleInstance::Acquire(name);
  EXPECT_EQ(first->outcome(), SingleInstance::Outcome::kAcquired);
  auto second = SingleInstance::Acquire(name);
  EXPECT_EQ(second->outcome(), SingleInstance::Outcome::kAlreadyRunning);
  EXPECT_FALSE(second->ShouldRun());
  // Another name is independent.
  EXPECT_EQ(SingleInstance::Acquire(name + L"-other")->outcome(), SingleInstance::Outcome::kAcquired);

  first.reset();
  second.reset();
  EXPECT_EQ(SingleInstance::Acquire(name)->outcome(), SingleInstance::Outcome::kAcquired);
}

HostWindowConfig Config(const std::wstring& suffix) {
  HostWindowConfig config;
  config.class_name = L"VANTRELTESTHOST" + suffix;
  config.title = L"VantrelTestHost";
  return config;
}

TEST(HostWindow, CreateRunsTheCreationCallbackAndQuitEndsTheLoop) {
  std::atomic<int> created{0};
  HostWindowConfig config = Config(L"A");
  config.on_create = [&](HostWindow&) {
    ++created;
    return true;
  };
  HostWindow window(config);
  ASSERT_TRUE(window.Create());
  EXPECT_EQ(created.load(), 1);
  std::thread quitter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    window.Quit(7);
  });
  EXPECT_EQ(window.RunMessageLoop(), 7);
  quitter.join();
}

TEST(HostWindow, FailedCreationCallbackFailsCreate) {
  HostWindowConfig config = Config(L"B");
  config.on_create = [](HostWindow&) { return false; };
  HostWindow window(config);
  EXPECT_FALSE(window.Create());
}

TEST(HostWindow, CloseDestroysByDefaultAndCanBeTakenOver) {
  {
    std::atomic<int> destroyed{0};
    HostWindowConfig config = Config(L"C");
    config.on_destroy = [&](HostWindow&) { ++destroyed; };
    HostWindow window(config);
    ASSERT_TRUE(window.Create());
    std::thread closer([&] { window.RequestClose(); });
    EXPECT_EQ(window.RunMessageLoop(), 0);
    closer.join();
    EXPECT_EQ(destroyed.load(), 1);
  }
  {
    // A close handler that ends the loop itself, without destroying (the agent's way).
    std::atomic<int> closed{0};
    std::atomic<int> destroyed{0};
    HostWindowConfig config = Config(L"D");
    config.on_close = [&](HostWindow& w) {
      if (++closed == 2) w.Quit(3);
      return true;
    };
    config.on_destroy = [&](HostWindow&) { ++destroyed; };
    HostWindow window(config);
    ASSERT_TRUE(window.Create());
    std::thread closer([&] {
      window.RequestClose();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      window.RequestClose();
    });
    EXPECT_EQ(window.RunMessageLoop(), 3);
    closer.join();
    EXPECT_EQ(closed.load(), 2);
    EXPECT_EQ(destroyed.load(), 0);
  }
}

}  // namespace
