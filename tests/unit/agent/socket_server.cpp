// The socket server's request queue and handlers without the network: fair
// turns between clients, the per-client bound, departed clients, the client
// limit and clients that never read.
#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "agent/protocol/client_message.h"
#include "agent/report/monitor_report.h"
#include "agent/server/socket_server.h"
#include "common/names.h"
#include "common/pipe_transport.h"
#include "netcore/alloter/pool_alloter.h"
#include "netcore/buffer/buffer_queue.h"
#include "tests/unit/agent/proto_support.h"

namespace vantrel::agent {
namespace {

class FakeSocket : public netcore::NetSocket {
 public:
  explicit FakeSocket(uint64_t id) : id_(id) {}
  uint64_t GetSocket() override { return id_; }
  uint16_t GetListenPort() override { return 46753; }
  bool GetAddress(std::string& ip, uint16_t& port) override {
    ip = "127.0.0.1";
    port = static_cast<uint16_t>(40000 + id_);
    return true;
  }
  bool Write(const char* src, uint32_t len) override {
    if (refuse_writes) return false;
    written.emplace_back(src, len);
    return true;
  }
  void Close() override { ++closes; }
  void AddTimer(uint32_t, bool) override {}
  void StopTimer() override {}
  void SetContext(void*) override {}
  void* GetContext() override { return nullptr; }

  bool refuse_writes = false;
  int closes = 0;
  std::vector<std::string> written;

 private:
  uint64_t id_;
};

QueuedMessage Message(const std::shared_ptr<FakeSocket>& from, const std::string& text) {
  return QueuedMessage{std::vector<uint8_t>(text.begin(), text.end()), from};
}

std::string Text(const QueuedMessage& m) { return std::string(m.data.begin(), m.data.end()); }

std::vector<std::string> Texts(const std::vector<QueuedMessage>& round) {
  std::vector<std::string> out;
  for (const auto& m : round) out.push_back(Text(m));
  return out;
}

TEST(RequestQueue, EachRoundTakesOneMessageOfEveryClientInArrivalOrder) {
  MessageQueue q;
  auto a = std::make_shared<FakeSocket>(1), b = std::make_shared<FakeSocket>(2), c = std::make_shared<FakeSocket>(3);
  for (const char* t : {"a1", "a2", "a3"}) q.Push(Message(a, t));
  q.Push(Message(c, "c1"));
  q.Push(Message(b, "b1"));
  q.Push(Message(c, "c2"));
  EXPECT_EQ(q.Size(), 6u);
  EXPECT_EQ(Texts(q.TakeRound()), (std::vector<std::string>{"a1", "c1", "b1"}));
  EXPECT_EQ(Texts(q.TakeRound()), (std::vector<std::string>{"a2", "c2"}));
  q.Push(Message(b, "b2"));  // arrives between rounds: after a's older one
  EXPECT_EQ(Texts(q.TakeRound()), (std::vector<std::string>{"a3", "b2"}));
  EXPECT_TRUE(q.TakeRound().empty());
  EXPECT_EQ(q.Size(), 0u);
}

TEST(RequestQueue, AClientsBacklogIsBoundedAndItsFirstDropIsReportedOnce) {
  MessageQueue q;
  auto flood = std::make_shared<FakeSocket>(1), polite = std::make_shared<FakeSocket>(2);
  for (size_t i = 0; i < MessageQueue::kMaxPerClient; ++i) {
    EXPECT_TRUE(q.HasRoom(flood.get()));
    EXPECT_EQ(q.Push(Message(flood, "f" + std::to_string(i))), MessageQueue::Pushed::kQueued);
  }
  EXPECT_FALSE(q.HasRoom(flood.get()));
  EXPECT_EQ(q.Push(Message(flood, "over")), MessageQueue::Pushed::kFirstDropped);
  EXPECT_EQ(q.NoteDropped(flood.get()), MessageQueue::Pushed::kDropped);
  EXPECT_EQ(q.Push(Message(flood, "over")), MessageQueue::Pushed::kDropped);
  // Another client is not affected by the flood.
  EXPECT_TRUE(q.HasRoom(polite.get()));
  EXPECT_EQ(q.Push(Message(polite, "p")), MessageQueue::Pushed::kQueued);
  EXPECT_EQ(q.Size(), MessageQueue::kMaxPerClient + 1);
  EXPECT_EQ(Texts(q.TakeRound()), (std::vector<std::string>{"f0", "p"}));

  // Drained, the client may fill up again, and a new overflow is reported.
  while (!q.TakeRound().empty()) {
  }
  for (size_t i = 0; i < MessageQueue::kMaxPerClient; ++i) q.Push(Message(flood, "g"));
  EXPECT_EQ(q.NoteDropped(flood.get()), MessageQueue::Pushed::kFirstDropped);
}

TEST(RequestQueue, ADepartedClientsMessagesAreDroppedAndReleased) {
  MessageQueue q;
  auto gone = std::make_shared<FakeSocket>(1), stays = std::make_shared<FakeSocket>(2);
  std::weak_ptr<FakeSocket> watch = gone;
  for (int i = 0; i < 5; ++i) q.Push(Message(gone, "g"));
  q.Push(Message(stays, "s"));
  EXPECT_EQ(q.DropClient(gone.get()), 5u);
  EXPECT_EQ(q.DropClient(gone.get()), 0u);
  gone.reset();
  EXPECT_TRUE(watch.expired()) << "the queue still holds the departed connection";
  EXPECT_EQ(q.Size(), 1u);
  EXPECT_EQ(Texts(q.TakeRound()), (std::vector<std::string>{"s"}));
}

// The server's handlers driven directly, as the IO thread would.
class ServerHandlers : public ::testing::Test {
 protected:
  void SetUp() override { SetMonitorDataHandler(nullptr); }
  void TearDown() override { SetMonitorDataHandler(nullptr); }

  std::shared_ptr<FakeSocket> Connect(uint64_t id) {
    auto s = std::make_shared<FakeSocket>(id);
    server_.ConnectFunc(s, 0);
    return s;
  }
  // A read pass that delivered `bytes` on `s`.
  void Receive(const std::shared_ptr<FakeSocket>& s, const std::vector<uint8_t>& bytes) {
    auto buffer = std::make_shared<netcore::BufferQueue>(pool_, alloter_);
    buffer->Write(reinterpret_cast<const char*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
    server_.ReadFunc(s, buffer, static_cast<uint32_t>(bytes.size()));
    EXPECT_EQ(buffer->GetCanReadLength(), 0u);
  }

  testing::ScopedFakeRegistry registry_;
  testing::CapturedLog log_;
  const std::wstring instance_name_ = testing::UniqueName(L"server");
  testing::ScopedEnvVar instance_{"VANTREL_INSTANCE", text::ToUtf8(instance_name_)};
  std::shared_ptr<netcore::BlockMemoryPool> pool_ = std::make_shared<netcore::BlockMemoryPool>(1024, 5);
  std::shared_ptr<netcore::AlloterWrap> alloter_ =
      std::make_shared<netcore::AlloterWrap>(netcore::MakePoolAlloter());
  ConnectedDevices devices_;
  MessageQueue queue_;
  SocketServer server_{devices_, queue_};
};

const std::vector<uint8_t> kVersion = testing::Block(0, R"({"Function":"VERSION"})");

TEST_F(ServerHandlers, ABusyClientDelaysAPoliteOneByOnePassAtMost) {
  auto busy = Connect(10);
  auto polite = Connect(11);
  for (int i = 0; i < 20; ++i) Receive(busy, testing::Block(10, "{}"));
  EXPECT_EQ(queue_.Size(), MessageQueue::kMaxPerClient) << "the busy client's backlog is bounded";
  EXPECT_EQ(log_.Count(L"sends faster than it is answered"), 1u);
  Receive(polite, kVersion);
  EXPECT_EQ(server_.ProcessPass(), 2u);
  ASSERT_EQ(polite->written.size(), 1u);
  EXPECT_NE(polite->written[0].find("\"VERSION\""), std::string::npos);
  EXPECT_EQ(busy->written.size(), 1u);

  // Once the busy client leaves, its backlog is gone with it.
  server_.DisConnectionFunc(busy, netcore::CEC_PEER_CLOSED);
  EXPECT_EQ(queue_.Size(), 0u);
  Receive(polite, kVersion);
  EXPECT_EQ(server_.ProcessPass(), 1u);
  EXPECT_EQ(polite->written.size(), 2u);
  EXPECT_EQ(busy->written.size(), 1u);
}

TEST_F(ServerHandlers, OnePassCollectsOneReportForAllItsClients) {
  // A hardware service that counts its idle-state queries: one per collection.
  std::atomic<int> collections{0};
  std::vector<pipe::PipeCommandHandler> table(13, &pipe::dump_arguments);
  table[9] = [&](const pipe::PipeRequest&) {
    ++collections;
    auto busy = pipe::U32Bytes(0);
    return pipe::build_pipe_reply({pipe::PipeArg{4, busy.data()}});
  };
  pipe::PipeServer hardware(names::kHardwarePipe + instance_name_, std::move(table));
  std::thread serving([&] {
    try {
      hardware.Run();
    } catch (...) {
    }
  });
  ASSERT_TRUE(testing::WaitFor([&] { return pipe::PipeClient(names::kHardwarePipe + instance_name_).Connect() == 0; },
                               std::chrono::seconds(10)));
  InstallMonitorDataReport();

  std::vector<std::shared_ptr<FakeSocket>> clients = {Connect(30), Connect(31), Connect(32)};
  for (auto& c : clients) Receive(c, testing::Block(10, "{}"));
  EXPECT_EQ(server_.ProcessPass(), 3u);
  EXPECT_EQ(collections.load(), 1);
  for (auto& c : clients) {
    ASSERT_EQ(c->written.size(), 1u);
    EXPECT_NE(c->written[0].find("\"GPU1_IDLE_STATUS\" : 0"), std::string::npos) << c->written[0];
    EXPECT_EQ(c->written[0], clients[0]->written[0]);
  }
  // The next pass collects anew.
  Receive(clients[1], testing::Block(10, "{}"));
  server_.ProcessPass();
  EXPECT_EQ(collections.load(), 2);
  hardware.Stop();
  serving.join();
}

TEST_F(ServerHandlers, ConnectionsBeyondTheLimitAreClosedAndLoggedOnce) {
  std::vector<std::shared_ptr<FakeSocket>> admitted;
  for (uint64_t i = 0; i < SocketServer::kMaxClients; ++i) admitted.push_back(Connect(100 + i));
  EXPECT_EQ(devices_.Size(), SocketServer::kMaxClients);
  for (const auto& s : admitted) EXPECT_EQ(s->closes, 0);

  auto extra = Connect(1000);
  auto another = Connect(1001);
  EXPECT_EQ(extra->closes, 1);
  EXPECT_EQ(another->closes, 1);
  EXPECT_EQ(devices_.Size(), SocketServer::kMaxClients);
  EXPECT_EQ(log_.Count(L"limit 256 reached"), 1u);
  // Their endings are no departures of connected devices.
  server_.DisConnectionFunc(extra, netcore::CEC_CLOSED);
  EXPECT_EQ(devices_.Size(), SocketServer::kMaxClients);
  EXPECT_EQ(log_.Count(L"Connected device : "), 0u);

  // Room again after a departure; reaching the limit again is logged again.
  server_.DisConnectionFunc(admitted[0], netcore::CEC_PEER_CLOSED);
  EXPECT_EQ(log_.Count(L"Connected device : 255"), 1u);
  auto late = Connect(2000);
  EXPECT_EQ(late->closes, 0);
  EXPECT_TRUE(devices_.Contains(2000));
  EXPECT_EQ(Connect(2001)->closes, 1);
  EXPECT_EQ(log_.Count(L"limit 256 reached"), 2u);
}

TEST_F(ServerHandlers, AClientThatNeverReadsIsClosedWhenItsOutputIsRefused) {
  auto reader = Connect(20);
  auto stuck = Connect(21);
  stuck->refuse_writes = true;
  Receive(reader, kVersion);
  Receive(stuck, kVersion);
  server_.ProcessPass();
  EXPECT_EQ(reader->written.size(), 1u);
  EXPECT_EQ(reader->closes, 0);
  EXPECT_EQ(stuck->closes, 1);
  EXPECT_EQ(log_.Count(L"Client 21 does not read its replies"), 1u);

  // A refused write to a client that has already left is the usual discard.
  auto gone = Connect(22);
  gone->refuse_writes = true;
  server_.DisConnectionFunc(gone, netcore::CEC_PEER_CLOSED);
  SendToClient(devices_, gone, "late reply");
  EXPECT_EQ(gone->closes, 0);
  EXPECT_EQ(log_.Count(L"does not read"), 1u);
}

}  // namespace
}  // namespace vantrel::agent
