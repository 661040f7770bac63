// Linux-only properties of the seqpacket transport: message size limits,
// socket file handling.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

#include "common/paths.h"
#include "common/pipe_transport.h"
#include "common/text.h"
#include "common/win32_errors.h"
#include "tests/support/test_env.h"

namespace vantrel::pipe {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

std::string SocketPath(const std::wstring& name) { return paths::RuntimeDir() + "/pipe/" + text::ToUtf8(name); }

// Without CAP_NET_ADMIN the send buffer cannot exceed twice net.core.wmem_max.
bool CanCarryLargestMessage() {
  if (geteuid() == 0) return true;
  std::ifstream f("/proc/sys/net/core/wmem_max");
  long long wmem_max = 0;
  f >> wmem_max;
  return 2 * wmem_max - 32 >= static_cast<long long>(kMaxPipeMessage);
}

class PipeLimitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<PipeCommandHandler> table(3);
    // 0: size and byte sum of the request.
    table[0] = [this](const PipeRequest& r) -> PipeReply {
      ++calls_;
      uint32_t sum = 0;
      for (uint8_t b : r.message()) sum += b;
      const uint32_t size = static_cast<uint32_t>(r.message().size());
      return build_pipe_reply({PipeArg{4, &size}, PipeArg{4, &sum}});
    };
    // 1: a reply one byte over the limit.
    table[1] = [](const PipeRequest&) -> PipeReply {
      Bytes big(kMaxPipeMessage - 4);
      return build_pipe_reply({PipeArg{static_cast<uint32_t>(big.size()), big.data()}});
    };
    name_ = testing::UniqueName(L"vt_lim_");
    server_ = std::make_unique<PipeServer>(name_, std::move(table));
    runner_ = std::thread([this] { server_->Run(); });
    ASSERT_TRUE(testing::WaitFor([this] { return PipeClient(name_).Connect() == 0; }, 10s));
  }
  void TearDown() override {
    server_->Stop();
    runner_.join();
  }

  testing::ScopedTestEnv env_;
  std::wstring name_;
  std::unique_ptr<PipeServer> server_;
  std::thread runner_;
  std::atomic<int> calls_{0};
};

TEST_F(PipeLimitsTest, LargestMessagePassesWholeAndOneByteMoreFailsCleanly) {
  if (!CanCarryLargestMessage()) GTEST_SKIP() << "net.core.wmem_max too small without CAP_NET_ADMIN";
  Bytes payload(kMaxPipeMessage - 7);
  uint32_t want_sum = 0 + 1;  // the request header: command 0, one argument
  for (size_t i = 0; i < payload.size(); ++i) {
    payload[i] = static_cast<uint8_t>(i * 31 + 5);
    want_sum += payload[i];
  }
  for (int i = 0; i < 4; ++i) want_sum += (payload.size() >> (8 * i)) & 0xFF;

  PipeClient c(name_);
  ASSERT_EQ(c.Connect(), 0u);
  ASSERT_EQ(send_pipe_message(c, 0, {PipeArg{static_cast<uint32_t>(payload.size()), payload.data()}}), 0u);
  Bytes reply;
  ASSERT_EQ(c.ReadMessage(&reply), 0u);
  auto args = ParseReply(reply);
  ASSERT_TRUE(args);
  EXPECT_EQ(ReadU32Le((*args)[0].data()), kMaxPipeMessage);
  EXPECT_EQ(ReadU32Le((*args)[1].data()), want_sum);

  // One byte more is refused before anything is sent; the connection stays usable.
  payload.push_back(0);
  EXPECT_EQ(send_pipe_message(c, 0, {PipeArg{static_cast<uint32_t>(payload.size()), payload.data()}}),
            win32::kErrorInvalidParameter);
  EXPECT_EQ(calls_.load(), 1);
  ASSERT_EQ(send_pipe_message(c, 0, {}), 0u);
  ASSERT_EQ(c.ReadMessage(&reply), 0u);
  EXPECT_EQ(ReadU32Le(reply.data() + 5), 3u);
  EXPECT_EQ(calls_.load(), 2);
}

TEST_F(PipeLimitsTest, OversizedReplyEndsTheConnectionInsteadOfArrivingCut) {
  Bytes reply;
  EXPECT_EQ(PipeTransact(name_, 1, {}, &reply), win32::kErrorBrokenPipe);
  EXPECT_EQ(PipeTransact(name_, 0, {}, &reply), 0u);
}

TEST_F(PipeLimitsTest, SocketFileModesAndRemovalOnStop) {
  const std::string path = SocketPath(name_);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  ASSERT_EQ(stat((paths::RuntimeDir() + "/pipe").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);

  // A second server on a live name does not take it over.
  PipeServer second(name_, {dump_arguments});
  try {
    second.Run();
    FAIL() << "second server started";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Named pipe creation failed.");
  }
  EXPECT_EQ(PipeClient(name_).Connect(), 0u);

  server_->Stop();
  EXPECT_NE(stat(path.c_str(), &st), 0);
}

TEST(PipeSocketFile, StaleSocketFileIsReplaced) {
  testing::ScopedTestEnv env;
  const std::wstring name = testing::UniqueName(L"vt_stale_");
  const std::string path = SocketPath(name);
  ASSERT_TRUE(paths::MakeDirs(text::FromUtf8(paths::RuntimeDir() + "/pipe")));
  // A socket file whose server died without removing it.
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  close(fd);

  PipeServer server(name, {dump_arguments});
  std::thread runner([&] { server.Run(); });
  EXPECT_TRUE(testing::WaitFor([&] { return PipeClient(name).Connect() == 0; }, 10s));
  server.Stop();
  runner.join();
}

}  // namespace
}  // namespace vantrel::pipe
