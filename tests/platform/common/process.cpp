// Process start, wait, kill and lookup by name, on both targets. The test
// program doubles as the child: VANTREL_PROC_CHILD selects what it does.
#include "common/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/support/test_env.h"

namespace {

using namespace std::chrono_literals;
using vantrel::proc::Process;

// Runs before gtest when the program was started as a child.
[[maybe_unused]] const bool kChildMode = [] {
  const char* mode = std::getenv("VANTREL_PROC_CHILD");
  if (!mode) return false;
  std::string m(mode);
  if (m.rfind("exit:", 0) == 0) std::_Exit(std::atoi(m.c_str() + 5));
  if (m == "sleep") {
    std::this_thread::sleep_for(60s);
    std::_Exit(0);
  }
  if (m == "env") {
    // The override arrives and the rest of the parent's environment stays.
    const char* v = std::getenv("VANTREL_PROC_VALUE");
    const char* kept = std::getenv("VANTREL_PROC_KEPT");
    bool ok = v && std::string(v) == "new value" && kept && std::string(kept) == "kept";
    std::_Exit(ok ? 0 : 3);
  }
  std::_Exit(99);
}();

void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value ? value : "");
#else
  if (value) setenv(name, value, 1); else unsetenv(name);
#endif
}

std::wstring SelfPath() { return vantrel::testing::ProgramPath(L"platform_common_process"); }

std::wstring SelfName() {
  std::wstring path = SelfPath();
  size_t slash = path.find_last_of(L"/\\");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::unique_ptr<Process> StartChild(const std::string& mode, std::map<std::wstring, std::wstring> env = {}) {
  env[L"VANTREL_PROC_CHILD"] = std::wstring(mode.begin(), mode.end());
  uint32_t error = 1;
  auto p = Process::Start(SelfPath(), {L"--gtest_filter=none"}, env, &error);
  EXPECT_TRUE(p) << "start failed: " << error;
  if (p) {
    EXPECT_EQ(error, 0u);
  }
  return p;
}

bool Contains(const std::vector<uint32_t>& ids, uint32_t id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

TEST(ProcessTest, ExitCodesAndEnvironmentReachTheParent) {
  for (int code : {0, 1, 42}) {
    auto p = StartChild("exit:" + std::to_string(code));
    ASSERT_TRUE(p);
    EXPECT_NE(p->pid(), 0u);
    EXPECT_EQ(p->Wait(20s), code);
    EXPECT_FALSE(p->Running());
    // Waiting again after the end gives the same code.
    EXPECT_EQ(p->Wait(0ms), code);
  }

  SetEnv("VANTREL_PROC_KEPT", "kept");
  SetEnv("VANTREL_PROC_VALUE", "old");
  auto p = StartChild("env", {{L"VANTREL_PROC_VALUE", L"new value"}});
  SetEnv("VANTREL_PROC_KEPT", nullptr);
  SetEnv("VANTREL_PROC_VALUE", nullptr);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->Wait(20s), 0);
}

TEST(ProcessTest, MissingProgramFailsWithAnError) {
  uint32_t error = 0;
  auto p = Process::Start(vantrel::testing::ProgramPath(L"no_such_program_here"), {}, {}, &error);
  EXPECT_FALSE(p);
  EXPECT_NE(error, 0u);
}

TEST(ProcessTest, WaitTimesOutThenKillEnds) {
  auto p = StartChild("sleep");
  ASSERT_TRUE(p);
  EXPECT_TRUE(p->Running());
  EXPECT_EQ(p->Wait(50ms), std::nullopt);
  p->Kill(9);
  auto code = p->Wait(20s);
  ASSERT_TRUE(code.has_value());
  EXPECT_NE(*code, 0);
  EXPECT_FALSE(p->Running());
}

TEST(ProcessTest, WaitForExitSeesTheEndAndHowItCame) {
  auto exited = StartChild("exit:130");  // the code a shell gives SIGINT, from a plain exit
  ASSERT_TRUE(exited);
  EXPECT_EQ(exited->WaitForExit(), 130);
  EXPECT_FALSE(exited->EndedBySignal());
  EXPECT_FALSE(exited->Running());

  auto killed = StartChild("sleep");
  ASSERT_TRUE(killed);
  EXPECT_FALSE(killed->EndedBySignal());  // still running
  std::thread watcher([&] { killed->WaitForExit(); });
  std::this_thread::sleep_for(50ms);
  killed->Kill(9);  // while the watcher waits: the pid is still ours to signal
  watcher.join();
  EXPECT_FALSE(killed->Running());
#ifndef _WIN32
  EXPECT_TRUE(killed->EndedBySignal());
#endif
}

TEST(ProcessTest, FindByNameSeesChildrenAndForgetsEndedOnes) {
  auto a = StartChild("sleep");
  auto b = StartChild("sleep");
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(vantrel::testing::WaitFor(
      [&] {
        auto ids = vantrel::proc::FindProcessesByName(SelfName());
        return Contains(ids, a->pid()) && Contains(ids, b->pid());
      },
      10s));
  EXPECT_TRUE(Contains(vantrel::proc::FindProcessesByName(SelfName()), vantrel::proc::CurrentProcessId()));
  EXPECT_TRUE(vantrel::proc::FindProcessesByName(L"no_such_program_here").empty());
  // A prefix of the name is another name.
  EXPECT_FALSE(Contains(vantrel::proc::FindProcessesByName(SelfName().substr(0, 10)), a->pid()));

  EXPECT_TRUE(vantrel::proc::TerminateProcessById(a->pid(), 9));
  ASSERT_TRUE(a->Wait(20s).has_value());
  EXPECT_FALSE(Contains(vantrel::proc::FindProcessesByName(SelfName()), a->pid()));
  EXPECT_TRUE(Contains(vantrel::proc::FindProcessesByName(SelfName()), b->pid()));
  b->Kill();
  EXPECT_TRUE(b->Wait(20s).has_value());
}

TEST(ProcessTest, DroppingTheObjectLeavesTheProcessRunning) {
  uint32_t pid = 0;
  {
    auto p = StartChild("sleep");
    ASSERT_TRUE(p);
    pid = p->pid();
  }
  EXPECT_TRUE(Contains(vantrel::proc::FindProcessesByName(SelfName()), pid));
  EXPECT_TRUE(vantrel::proc::TerminateProcessById(pid, 9));
  // Ended and reaped in the background: it disappears from the list.
  EXPECT_TRUE(vantrel::testing::WaitFor(
      [&] { return !Contains(vantrel::proc::FindProcessesByName(SelfName()), pid); }, 10s));
}

}  // namespace
