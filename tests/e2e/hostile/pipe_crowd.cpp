// Many idle connections on the hardware service's pipe: the service serves at
// most 255 at once, the rest wait as on a busy Windows pipe, and the pipe
// never disappears.
#include <filesystem>

#include "common/names.h"
#include "common/paths.h"
#include "common/pipe_transport.h"
#include "common/text.h"
#include "common/win32_errors.h"
#include "tests/e2e/hostile/hostile_support.h"

namespace vantrel::hostile {
namespace {

#ifndef _WIN32
size_t ThreadCount(uint32_t pid) {
  std::error_code ec;
  size_t n = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++n;
  }
  return n;
}

TEST_F(HostilePeers, ThreeHundredPipeConnectionsThenOneMore) {
  ASSERT_NO_FATAL_FAILURE(StartHardwareService());
  const std::wstring name = Pipe(names::kHardwarePipe);
  const std::string socket_file = paths::RuntimeDir() + "/pipe/" + text::ToUtf8(name);
  const size_t threads_before = ThreadCount(hardware_->pid());

  std::vector<std::unique_ptr<pipe::PipeClient>> idle;
  for (int i = 0; i < 300; ++i) {
    auto c = std::make_unique<pipe::PipeClient>(name);
    c->SetDeadline(Clock::now() + 5s);
    ASSERT_EQ(c->Connect(), 0u) << i;  // beyond the limit it waits in the backlog
    idle.push_back(std::move(c));
  }
  // Wait until the service has taken what it will take.
  std::this_thread::sleep_for(500ms);
  EXPECT_LE(ThreadCount(hardware_->pid()), threads_before + pipe::kMaxPipeInstances);
  EXPECT_TRUE(std::filesystem::exists(socket_file));

  // One more client waits, bounded by its own deadline.
  std::vector<uint8_t> reply;
  const auto start = Clock::now();
  EXPECT_EQ(pipe::PipeTransact(name, 0, {}, &reply, 1s), win32::kErrorSemTimeout);
  EXPECT_LT(Clock::now() - start, 3s);
  EXPECT_TRUE(hardware_->Running());

  // Slots freed: the waiting connections are taken in turn, then a new client.
  idle.erase(idle.begin(), idle.begin() + 60);
  pipe::PipeClient& last = *idle.back();
  last.SetDeadline(Clock::now() + 10s);
  ASSERT_EQ(pipe::send_pipe_message(last, 0, {}), 0u);
  EXPECT_EQ(last.ReadMessage(&reply), 0u);
  EXPECT_EQ(pipe::PipeTransact(name, 0, {}, &reply, 10s), 0u);
  EXPECT_TRUE(std::filesystem::exists(socket_file));
  idle.clear();
  EXPECT_TRUE(testing::WaitFor([&] { return ThreadCount(hardware_->pid()) <= threads_before + 2; }, 10s));
}
#endif

}  // namespace
}  // namespace vantrel::hostile
