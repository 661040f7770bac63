// The pipe transport over real pipes (Linux: seqpacket sockets), both targets.
#include "common/pipe_transport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/win32_errors.h"
#include "tests/support/test_env.h"

namespace vantrel::pipe {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

Bytes Utf16Z(const std::string& ascii) {
  Bytes out;
  for (char c : ascii) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(0);
  }
  out.insert(out.end(), {0, 0});
  return out;
}

Bytes Pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 7 + 3) & 0xFF);
  return b;
}

enum Command : uint16_t { kDump = 0, kEcho = 1, kSilent = 2, kRendezvous = 3, kThrow = 4, kUnset = 5, kSize = 6 };

class PipeTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<PipeCommandHandler> table(7);
    table[kDump] = dump_arguments;
    table[kEcho] = [](const PipeRequest& r) -> PipeReply {
      auto a = r.arg(0).value_or(std::span<const uint8_t>());
      return build_pipe_reply({PipeArg{static_cast<uint32_t>(a.size()), a.data()}});
    };
    table[kSilent] = [this](const PipeRequest&) -> PipeReply {
      ++silent_calls_;
      return std::nullopt;
    };
    table[kRendezvous] = [this](const PipeRequest&) -> PipeReply {
      // Replies 1 only when another worker is inside this handler at the same time.
      std::unique_lock<std::mutex> g(m_);
      ++inside_;
      cv_.notify_all();
      const uint32_t met = cv_.wait_for(g, 10s, [this] { return inside_ >= 2; }) ? 1 : 0;
      return build_pipe_reply({PipeArg{4, &met}});
    };
    table[kThrow] = [](const PipeRequest&) -> PipeReply { throw std::runtime_error("handler failure"); };
    table[kSize] = [](const PipeRequest& r) -> PipeReply {
      const uint32_t size = static_cast<uint32_t>(r.message().size());
      return build_pipe_reply({PipeArg{4, &size}});
    };
    name_ = testing::UniqueName(L"vt_pipe_");
    server_ = std::make_unique<PipeServer>(name_, std::move(table));
    runner_ = std::thread([this] { server_->Run(); });
    ASSERT_TRUE(testing::WaitFor(
        [this] {
          PipeClient probe(name_);
          return probe.Connect() == 0;
        },
        10s));
  }

  void TearDown() override {
    server_->Stop();
    runner_.join();
  }

  // Sends raw bytes on a fresh connection and reads one reply.
  uint32_t RawExchange(const Bytes& request, Bytes* reply) {
    PipeClient c(name_);
    uint32_t err = c.Connect();
    if (err == 0) err = c.Write(request);
    if (err == 0) err = c.ReadMessage(reply);
    return err;
  }

  void ExpectServing() {
    Bytes reply;
    const uint8_t b[] = {7};
    const PipeArg args[] = {{1, b}};
    ASSERT_EQ(PipeTransact(name_, kEcho, args, &reply), 0u);
    EXPECT_EQ(reply, (Bytes{1, 1, 0, 0, 0, 7}));
  }

  testing::ScopedTestEnv env_;
  std::wstring name_;
  std::unique_ptr<PipeServer> server_;
  std::thread runner_;
  std::atomic<int> silent_calls_{0};
  std::mutex m_;
  std::condition_variable cv_;
  int inside_ = 0;
};

TEST_F(PipeTransportTest, DumpCommandAnswersTheExactText) {
  Bytes reply;
  const uint8_t data[] = {1, 2, 3};
  const PipeArg args[] = {{3, data}};
  ASSERT_EQ(PipeTransact(name_, kDump, args, &reply), 0u);
  const Bytes text = Utf16Z("Number of arguments: 1\narg0 size: 3, content: 01 02 03 \n");
  EXPECT_EQ(reply, build_pipe_reply({PipeArg{static_cast<uint32_t>(text.size()), text.data()}}));
}

TEST_F(PipeTransportTest, LongMessagesArriveWholeBothWays) {
  // 3 + 4 + 1993 = 2,000 bytes: four chunks on the server side.
  const Bytes payload = Pattern(1993);
  const PipeArg args[] = {{static_cast<uint32_t>(payload.size()), payload.data()}};
  Bytes reply;
  ASSERT_EQ(PipeTransact(name_, kSize, args, &reply), 0u);
  auto size = ParseReply(reply);
  ASSERT_TRUE(size);
  EXPECT_EQ(ReadU32Le((*size)[0].data()), 2000u);

  // The echoed reply is longer than one chunk on the client side too.
  ASSERT_EQ(PipeTransact(name_, kEcho, args, &reply), 0u);
  auto echoed = ParseReply(reply);
  ASSERT_TRUE(echoed);
  EXPECT_EQ(Bytes((*echoed)[0].begin(), (*echoed)[0].end()), payload);

  // Whole messages, one after another on one connection.
  PipeClient c(name_);
  ASSERT_EQ(c.Connect(), 0u);
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(send_pipe_message(c, kEcho, args), 0u);
    Bytes got;
    ASSERT_EQ(c.ReadMessage(&got), 0u);
    EXPECT_EQ(got, reply);
  }
}

TEST_F(PipeTransportTest, ReadsEndWithAnErrorWhenTheServerEndsTheConnection) {
  // The server ends the connection after an invalid request: no reply, an error.
  PipeClient d(name_);
  ASSERT_EQ(d.Connect(), 0u);
  ASSERT_EQ(d.Write(Bytes{kDump, 0}), 0u);
  Bytes none;
  EXPECT_NE(d.ReadMessage(&none), 0u);
  EXPECT_TRUE(none.empty());
}

TEST_F(PipeTransportTest, InvalidRequestsEndOnlyTheirConnection) {
  const Bytes overrun = {kEcho, 0, 1, 4, 0, 0, 0, 1, 2, 3};  // declares 4 bytes, carries 3
  const std::vector<Bytes> invalid = {{kDump, 0}, {7, 0, 0}, {0xFF, 0xFF, 0}, overrun};
  for (const Bytes& request : invalid) {
    Bytes reply;
    EXPECT_NE(RawExchange(request, &reply), 0u) << request.size();
    ExpectServing();
  }
  // Handlers that throw end their connection; the server goes on.
  Bytes reply;
  EXPECT_NE(PipeTransact(name_, kThrow, {}, &reply), 0u);
  ExpectServing();
}

TEST_F(PipeTransportTest, TrailingBytesAndZeroArgumentsAreServed) {
  Bytes reply;
  ASSERT_EQ(RawExchange({kEcho, 0, 1, 2, 0, 0, 0, 0xAB, 0xCD, 0xEE, 0xEE, 0xEE}, &reply), 0u);
  EXPECT_EQ(reply, (Bytes{1, 2, 0, 0, 0, 0xAB, 0xCD}));

  ASSERT_EQ(RawExchange({kDump, 0, 0}, &reply), 0u);
  const Bytes text = Utf16Z("Number of arguments: 0\n");
  EXPECT_EQ(reply, build_pipe_reply({PipeArg{static_cast<uint32_t>(text.size()), text.data()}}));
}

TEST_F(PipeTransportTest, SeveralRequestsOnOneConnection) {
  PipeClient c(name_);
  ASSERT_EQ(c.Connect(), 0u);
  EXPECT_TRUE(c.connected());
  for (uint8_t i = 0; i < 5; ++i) {
    // A request without a reply in between must not disturb the next answer.
    ASSERT_EQ(send_pipe_message(c, kSilent, {}), 0u);
    const uint8_t b[] = {i};
    ASSERT_EQ(send_pipe_message(c, kEcho, {PipeArg{1, b}}), 0u);
    Bytes reply;
    ASSERT_EQ(c.ReadMessage(&reply), 0u);
    EXPECT_EQ(reply, (Bytes{1, 1, 0, 0, 0, i}));
  }
  EXPECT_EQ(silent_calls_.load(), 5);
  // An empty table entry answers nothing and keeps the connection.
  ASSERT_EQ(send_pipe_message(c, kUnset, {}), 0u);
  ASSERT_EQ(send_pipe_message(c, kSize, {}), 0u);
  Bytes reply;
  ASSERT_EQ(c.ReadMessage(&reply), 0u);
  EXPECT_EQ(reply, (Bytes{1, 4, 0, 0, 0, 3, 0, 0, 0}));
  c.Close();
  EXPECT_FALSE(c.connected());
  EXPECT_NE(c.Write(Bytes{0, 0, 0}), 0u);
}

TEST_F(PipeTransportTest, TwoClientsAreServedInParallel) {
  uint32_t results[2] = {99, 99};
  uint32_t errors[2] = {99, 99};
  std::thread clients[2];
  for (int i = 0; i < 2; ++i) {
    clients[i] = std::thread([&, i] {
      Bytes reply;
      errors[i] = PipeTransact(name_, kRendezvous, {}, &reply);
      auto args = ParseReply(reply);
      if (args && args->size() == 1 && (*args)[0].size() == 4) results[i] = ReadU32Le((*args)[0].data());
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(errors[0], 0u);
  EXPECT_EQ(errors[1], 0u);
  EXPECT_EQ(results[0], 1u);
  EXPECT_EQ(results[1], 1u);
}

TEST_F(PipeTransportTest, StopEndsIdleConnections) {
  PipeClient idle(name_);
  ASSERT_EQ(idle.Connect(), 0u);
  ASSERT_TRUE(testing::WaitFor([this] { return server_->live_connections() >= 1; }, 5s));
  const auto start = std::chrono::steady_clock::now();
  server_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(server_->live_connections(), 0u);
  Bytes reply;
  EXPECT_NE(idle.ReadMessage(&reply), 0u);
}

// A server that takes requests and never answers costs a client with a
// deadline that long and no longer; a deadline already past fails at once.
TEST_F(PipeTransportTest, DeadlineBoundsEveryStep) {
  using Clock = std::chrono::steady_clock;
  {
    PipeClient c(name_);
    c.SetDeadline(Clock::now() + 300ms);
    ASSERT_EQ(c.Connect(), 0u);
    ASSERT_EQ(send_pipe_message(c, kSilent, {}), 0u);
    const auto start = Clock::now();
    Bytes reply;
    EXPECT_EQ(c.ReadMessage(&reply), win32::kErrorSemTimeout);
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_EQ(c.Write(Bytes{0, 0, 0}), win32::kErrorSemTimeout);
  }
  {
    PipeClient late(name_);
    late.SetDeadline(Clock::now() - 1ms);
    EXPECT_EQ(late.Connect(), win32::kErrorSemTimeout);
    EXPECT_FALSE(late.connected());
  }
  const auto start = Clock::now();
  Bytes reply;
  EXPECT_EQ(PipeTransact(name_, kSilent, {}, &reply, 200ms), win32::kErrorSemTimeout);
  EXPECT_LT(Clock::now() - start, 2s);
  // A deadline that leaves time is no different from none.
  const PipeArg args[] = {{1, "x"}};
  ASSERT_EQ(PipeTransact(name_, kEcho, args, &reply, 5s), 0u);
  EXPECT_EQ(reply, (Bytes{1, 1, 0, 0, 0, 'x'}));
}

// A worker thread that cannot be started ends its own connection only: the
// server keeps accepting and later clients are served.
TEST(PipeTransport, FailedWorkerStartEndsOnlyThatConnection) {
  testing::ScopedTestEnv env;
  const std::wstring name = testing::UniqueName(L"vt_nothread_");
  PipeServer server(name, {dump_arguments});
  std::atomic<bool> fail{false};
  server.SetWorkerStarter([&fail](std::function<void()> body) {
    return !fail.load() && StartDetachedThread(std::move(body));
  });
  std::thread runner([&server] { server.Run(); });
  Bytes reply;
  ASSERT_TRUE(testing::WaitFor([&] { return PipeTransact(name, 0, {}, &reply, 1s) == 0; }, 10s));
  const uint8_t b[] = {1};
  const PipeArg args[] = {{1, b}};
  int served = 0, refused = 0;
  for (int i = 0; i < 6; ++i) {
    fail = i % 2 == 0;  // every other worker fails to start
    const uint32_t err = PipeTransact(name, 0, args, &reply, 5s);
    (err == 0 ? served : refused)++;
    EXPECT_NE(err, win32::kErrorSemTimeout) << i;  // ended at once, not left waiting
    EXPECT_NE(err, win32::kErrorFileNotFound) << i;  // the pipe never disappears
  }
  EXPECT_EQ(served, 3);
  EXPECT_EQ(refused, 3);
  server.Stop();
  runner.join();
  EXPECT_EQ(server.live_connections(), 0u);
}

// An accept loop held up right after it started a worker (descheduled, say)
// while that connection is served and closed: the pipe must still have an
// instance for the next client (Windows: one is made before the worker starts).
TEST(PipeTransport, ASlowAcceptLoopNeverLeavesThePipeWithoutAnInstance) {
  testing::ScopedTestEnv env;
  const std::wstring name = testing::UniqueName(L"vt_slowloop_");
  PipeServer server(name, {dump_arguments});
  std::atomic<bool> slow{false};
  server.SetWorkerStarter([&slow](std::function<void()> body) {
    const bool started = StartDetachedThread(std::move(body));
    if (slow.load()) std::this_thread::sleep_for(300ms);
    return started;
  });
  std::thread runner([&server] { server.Run(); });
  Bytes reply;
  ASSERT_TRUE(testing::WaitFor([&] { return PipeTransact(name, 0, {}, &reply, 1s) == 0; }, 10s));
  slow = true;
  for (int i = 0; i < 4; ++i) {
    // Each exchange ends well inside the accept loop's pause after starting its worker.
    EXPECT_EQ(PipeTransact(name, 0, {}, &reply, 5s), 0u) << i;
  }
  server.Stop();
  runner.join();
}

TEST(PipeTransport, NoServerFailsAtOnceWithFileNotFound) {
  testing::ScopedTestEnv env;
  const std::wstring name = testing::UniqueName(L"vt_nopipe_");
  const auto start = std::chrono::steady_clock::now();
  PipeClient c(name);
  EXPECT_EQ(c.Connect(), win32::kErrorFileNotFound);
  EXPECT_FALSE(c.connected());
  Bytes reply;
  EXPECT_EQ(PipeTransact(name, kDump, {}, &reply), win32::kErrorFileNotFound);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST(PipeTransport, EmptyNameIsRefused) {
  try {
    PipeClient c(L"");
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "pipe_name");
  }
  PipeServer server(L"", {});
  EXPECT_THROW(server.Run(), std::invalid_argument);
  Bytes reply;
  EXPECT_EQ(PipeTransact(L"", 0, {}, &reply), win32::kErrorInvalidParameter);
}

TEST(PipeTransport, StopBeforeRunAndRunAfterStopReturn) {
  testing::ScopedTestEnv env;
  PipeServer server(testing::UniqueName(L"vt_stopped_"), {dump_arguments});
  server.Stop();
  server.Run();  // returns at once
  EXPECT_EQ(server.live_connections(), 0u);
}

}  // namespace
}  // namespace vantrel::pipe
