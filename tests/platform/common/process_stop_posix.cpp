// What a Linux child inherits: no stray descriptors, no blocked signals, and
// SIGTERM from RequestStop ends it. The test program doubles as the child.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "common/process.h"
#include "tests/support/test_env.h"

namespace {

using namespace std::chrono_literals;
using vantrel::proc::Process;

[[maybe_unused]] const bool kChildMode = [] {
  const char* mode = std::getenv("VANTREL_PROC_CHILD");
  if (!mode) return false;
  std::string m(mode);
  if (m.rfind("fd:", 0) == 0) _exit(fcntl(std::atoi(m.c_str() + 3), F_GETFD) < 0 ? 0 : 5);
  if (m == "sleep") {
    std::this_thread::sleep_for(60s);
    _exit(0);
  }
  _exit(99);
}();

std::unique_ptr<Process> StartChild(const std::string& mode) {
  std::wstring wmode(mode.begin(), mode.end());
  return Process::Start(vantrel::testing::ProgramPath(L"platform_common_process_stop"), {},
                        {{L"VANTREL_PROC_CHILD", wmode}});
}

TEST(ProcessPosixTest, ChildInheritsNoDescriptors) {
  // Both an ordinary descriptor and a high-numbered one stay behind.
  int plain = open("/dev/null", O_RDONLY);
  ASSERT_GE(plain, 3);
  int high = fcntl(plain, F_DUPFD, 900);
  ASSERT_GE(high, 900);
  for (int fd : {plain, high}) {
    auto p = StartChild("fd:" + std::to_string(fd));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->Wait(20s), 0) << "descriptor " << fd << " reached the child";
  }
  close(plain);
  close(high);
}

TEST(ProcessPosixTest, RequestStopEndsAChildEvenWhenTheParentBlocksSigterm) {
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  struct sigaction ignore {}, old_action{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGTERM, &ignore, &old_action);
  auto p = StartChild("sleep");
  sigaction(SIGTERM, &old_action, nullptr);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ASSERT_TRUE(p);
  std::this_thread::sleep_for(100ms);
  p->RequestStop();
  EXPECT_EQ(p->Wait(20s), 128 + SIGTERM);
}

TEST(ProcessPosixTest, NonExecutableFileFailsWithErrno) {
  uint32_t error = 0;
  auto p = Process::Start(L"/dev/null", {}, {}, &error);
  EXPECT_FALSE(p);
  EXPECT_EQ(error, static_cast<uint32_t>(EACCES));
}

TEST(ProcessPosixTest, KillAfterReapDoesNotSignalAStranger) {
  auto p = StartChild("fd:0");
  ASSERT_TRUE(p);
  ASSERT_TRUE(p->Wait(20s).has_value());
  // The pid is free now; Kill and RequestStop must be no-ops.
  p->Kill();
  p->RequestStop();
  EXPECT_FALSE(p->Running());
}

}  // namespace
