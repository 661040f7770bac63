// The network core over real loopback connections: connection endings and
// their codes, the send queue limit, write readiness, accept bursts, tasks,
// timers and concurrent writers.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>

#include "netcore/socket/connect_socket.h"
#include "netcore/alloter/normal_alloter.h"
#include "tests/platform/netcore/loopback_client.h"

using namespace std::chrono_literals;
using nctest::Client;
using nctest::RecordingCore;

namespace {

std::string Pattern(size_t n, size_t offset = 0) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((offset + i) % 251);
  return s;
}

std::shared_ptr<netcore::RWSocket> Rw(const std::shared_ptr<netcore::NetSocket>& s) {
  return std::dynamic_pointer_cast<netcore::RWSocket>(s);
}

}  // namespace

TEST(CoreEndings, PeerCloseGivesOneDisconnectWithCode1AndNoRead) {
  RecordingCore rc;
  Client c;
  ASSERT_TRUE(c.Connect(rc.port_));
  ASSERT_TRUE(rc.WaitUntil([&] { return rc.accepted_.size() == 1; }));
  c.Close();
  ASSERT_TRUE(rc.WaitUntil([&] { return !rc.disconnects_.empty(); }));
  std::this_thread::sleep_for(100ms);
  std::lock_guard<std::mutex> l(rc.m_);
  ASSERT_EQ(rc.disconnects_.size(), 1u);
  EXPECT_EQ(rc.disconnects_[0].code, netcore::CEC_PEER_CLOSED);
  EXPECT_EQ(rc.read_calls_, 0);
}

TEST(CoreEndings, DataSentJustBeforeCloseIsStillDelivered) {
  RecordingCore rc;
  Client c;
  ASSERT_TRUE(c.Connect(rc.port_));
  ASSERT_TRUE(c.Send(Pattern(300000)));
  c.Close();
  ASSERT_TRUE(rc.WaitUntil([&] { return !rc.disconnects_.empty(); }));
  std::lock_guard<std::mutex> l(rc.m_);
  EXPECT_EQ(rc.disconnects_[0].code, netcore::CEC_PEER_CLOSED);
  EXPECT_EQ(rc.received_[rc.disconnects_[0].id], Pattern(300000));
  EXPECT_EQ(rc.read_lengths_, 300000u);
}

TEST(CoreEndings, ResetGivesCode2) {
  RecordingCore rc;
  Client c;
  ASSERT_TRUE(c.Connect(rc.port_));
  ASSERT_TRUE(rc.WaitUntil([&] { return rc.accepted_.size() == 1; }));
  c.Reset();
  ASSERT_TRUE(rc.WaitUntil([&] { return !rc.disconnects_.empty(); }));
  std::this_thread::sleep_for(100ms);
  std::lock_guard<std::mutex> l(rc.m_);
  ASSERT_EQ(rc.disconnects_.size(), 1u);
#ifdef _WIN32
  // Wine may surface a reset as an orderly end of the stream.
  EXPECT_NE(rc.disconnects_[0].code, netcore::CEC_CLOSED);
#else
  EXPECT_EQ(rc.disconnects_[0].code, netcore::CEC_READ_FAILED);
#endif
}

TEST(CoreEndings, CloseGivesCode0OnceAndLaterWritesAreDropped) {
  RecordingCore rc;
  Client c;
  ASSERT_TRUE(c.Connect(rc.port_));
  ASSERT_TRUE(rc.WaitUntil([&] { return rc.accepted_.size() == 1; }));
  auto s = rc.Accepted(0);
  const uint64_t id = s->GetSocket();
  s->Close();  // from this thread: travels through the task queue
  ASSERT_TRUE(rc.WaitUntil([&] { return !rc.disconnects_.empty(); }));
  EXPECT_TRUE(c.WaitEof(2000));
  c.Close();  // the peer's hang-up after the close reports nothing more
  s->Close();
  std::this_thread::sleep_for(200ms);
  {
    std::lock_guard<std::mutex> l(rc.m_);
    ASSERT_EQ(rc.disconnects_.size(), 1u);
    EXPECT_EQ(rc.disconnects_[0].code, netcore::CEC_CLOSED);
    EXPECT_EQ(rc.disconnects_[0].id, id);
  }

  // The closed handle's number is likely reused by the next connection;
  // a late write on the old socket must not reach it.
  Client c2;
  ASSERT_TRUE(c2.Connect(rc.port_));
  ASSERT_TRUE(rc.WaitUntil([&] { return rc.accepted_.size() == 2; }));
  EXPECT_FALSE(s->Write("stale", 5));
  rc.OnLoop([&] { EXPECT_FALSE(s->Write("stale", 5)); });
  ASSERT_TRUE(rc.Accepted(1)->Write("fresh", 5));
  EXPECT_EQ(c2.RecvExact(5, 2000), "fresh");
  EXPECT_EQ(c2.RecvSome(16, 200), "");
}

TEST(CoreEndings, CloseFromAcceptHandlerNeverRegistersTheSocket) {
  RecordingCore rc;
  rc.on_accept = [](std::shared_ptr<netcore::NetSocket> s) { s->Close(); };
  Client c;
  ASSERT_TRUE(c.Connect(rc.port_));
  ASSERT_TRUE(rc.WaitUntil([&] { return !rc.disconnects_.empty(); }));
  EXPECT_TRUE(c.WaitEof(2000));
  std::lock_guard<std::mutex> l(rc.m_);
  EXPECT_EQ(rc.disconnects_[0].code, netcore::CEC_CLOSED);
}

TEST(CoreSending, QueueLimitIsFourMiB) {
  RecordingCore rc;
  Client c;
  ASSERT_TRUE(c.Connect(rc.port_, 4096));
  ASSERT_TRUE(rc.WaitUntil([&] { return rc.accepted_.size() == 1; }));
  auto s = Rw(rc.Accepted(0));
  uint64_t written = 0;
  bool at_limit = false, over_limit = true;
  rc.OnLoop([&] {
    // Fill the kernel until a write has to queue, then top the queue up to
    // exactly the limit.
    const std::string chunk = Pattern(65536);
    while (s->SendQueueLength() == 0 && written < (256u << 20)) {
      const std::string part = Pattern(chunk.size(), written);
      ASSERT_TRUE(s->Write(part.data(), static_cast<uint32_t>(part.size())));
      written += part.size();
    }
    // A length the queue's 32-bit count cannot take is refused before a
    // byte of it is read.
    EXPECT_FALSE(s->Write(chunk.data(), UINT32_MAX));
    const uint64_t top = netcore::RWSocket::kMaxSendQueue - s->PendingSendBytes();
    std::string fill = Pattern(top, written);
    ASSERT_TRUE(s->Write(fill.data(), static_cast<uint32_t>(fill.size())));
    written += top;
    ASSERT_EQ(s->PendingSendBytes(), netcore::RWSocket::kMaxSendQueue);
    const std::string one = Pattern(1, written);
    at_limit = s->Write(one.data(), 1);
    written += 1;
    over_limit = s->Write("x", 1);
  });
  EXPECT_TRUE(at_limit);
  EXPECT_FALSE(over_limit);
  EXPECT_FALSE(s->Write("x", 1));  // from another thread as well
  c.SetRcvBuf(1 << 20);
  const std::string got = c.RecvExact(written, 10000);
  ASSERT_EQ(got.size(), written);
  EXPECT_TRUE(got == Pattern(written));
  ASSERT_TRUE(rc.WaitUntil([&] { return !rc.write_reports_.empty(); }));
  EXPECT_EQ(s->PendingSendBytes(), 0u);
  EXPECT_TRUE(s->Write("after", 5));  // room again once drained
  EXPECT_EQ(c.RecvExact(5), "after");
}

TEST(CoreSending, LargeWriteFinishesThroughWriteReadiness) {
  RecordingCore rc;
  Client c;
  ASSERT_TRUE(c.Connect(rc.port_, 4096));
  ASSERT_TRUE(rc.WaitUntil([&] { return rc.accepted_.size() == 1; }));
  auto s = Rw(rc.Accepted(0));
  const size_t total = 16u << 20;
  const std::string data = Pattern(total);
  std::atomic<uint64_t> sent_first{0};
  rc.OnLoop([&] {
    ASSERT_TRUE(s->Write(data.data(), static_cast<uint32_t>(data.size())));
    sent_first = total - s->SendQueueLength();
  });
  ASSERT_GT(s->PendingSendBytes(), 0u) << "the peer's window took everything";
  {
    std::lock_guard<std::mutex> l(rc.m_);
    EXPECT_TRUE(rc.write_reports_.empty());
  }
  c.SetRcvBuf(1 << 20);
  const std::string got = c.RecvExact(total, 10000);
  ASSERT_EQ(got.size(), total);
  EXPECT_TRUE(got == data);
  ASSERT_TRUE(rc.WaitUntil([&] { return !rc.write_reports_.empty(); }));
  std::this_thread::sleep_for(50ms);
  std::lock_guard<std::mutex> l(rc.m_);
  ASSERT_EQ(rc.write_reports_.size(), 1u);
  // The report covers the last pass only, never the bytes of the first.
  EXPECT_GT(rc.write_reports_[0], 0u);
  EXPECT_LE(rc.write_reports_[0], total - sent_first);
}

// An echo that hands the read buffer's own blocks to the kernel. A peer that
// reads nothing makes the kernel take only part: the rest must be queued in
// order, and every later echo must go behind it, not past it.
TEST(CoreSending, EchoFromTheReadBufferKeepsEveryByteInOrder) {
  RecordingCore rc;
  std::atomic<int> refused{0};
  rc.on_input = [&](std::shared_ptr<netcore::NetSocket> s, netcore::Buffer& b) {
    if (!s->Write(b, b.GetCanReadLength()) || b.GetCanReadLength() != 0) ++refused;
  };
  // Small windows both ways, so the kernel holds little of the echo.
  rc.on_accept = [](std::shared_ptr<netcore::NetSocket> s) {
    const int bytes = 4096;
    ::setsockopt(static_cast<nctest::RawSocket>(s->GetSocket()), SOL_SOCKET, SO_SNDBUF,
                 reinterpret_cast<const char*>(&bytes), sizeof(bytes));
  };
  Client c;
  ASSERT_TRUE(c.Connect(rc.port_, 4096));
  ASSERT_TRUE(c.Send("ping"));
  EXPECT_EQ(c.RecvExact(4), "ping");

  // Reading a little between sends opens the window while bytes are queued.
  const std::string data = Pattern(2u << 20, 7);
  std::string got;
  for (size_t at = 0; at < data.size(); at += 32768) {
    ASSERT_TRUE(c.Send(data.substr(at, 32768)));
    got += c.RecvSome(8192, 1);
  }
  c.SetRcvBuf(1 << 20);
  got += c.RecvExact(data.size() - got.size(), 10000);
  ASSERT_EQ(got.size(), data.size());
  EXPECT_TRUE(got == data);
  EXPECT_EQ(refused.load(), 0);
}

TEST(CoreSending, RepliesFromManyThreadsNeverInterleave) {
  RecordingCore rc;
  Client c;
  ASSERT_TRUE(c.Connect(rc.port_));
  ASSERT_TRUE(rc.WaitUntil([&] { return rc.accepted_.size() == 1; }));
  auto s = rc.Accepted(0);
  constexpr int kThreads = 4, kMessages = 150;
  // Each message: writer byte, sequence byte, 4-byte length, body of the writer byte.
  auto message = [](int w, int seq) {
    const uint32_t body = 1000 + static_cast<uint32_t>((seq * 7919 + w * 104729) % 30000);
    std::string m(6 + body, static_cast<char>('A' + w));
    m[1] = static_cast<char>(seq);
    std::memcpy(&m[2], &body, 4);
    return m;
  };
  std::atomic<bool> go{false};
  std::vector<std::thread> writers;
  size_t expected = 0;
  for (int w = 0; w < kThreads; ++w) {
    for (int i = 0; i < kMessages; ++i) expected += message(w, i).size();
    writers.emplace_back([&, w] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < kMessages; ++i) {
        const std::string m = message(w, i);
        while (!s->Write(m.data(), static_cast<uint32_t>(m.size()))) std::this_thread::sleep_for(1ms);
      }
    });
  }
  go = true;
  const std::string got = c.RecvExact(expected, 10000);
  for (auto& t : writers) t.join();
  ASSERT_EQ(got.size(), expected);
  int next[kThreads] = {};
  size_t pos = 0;
  while (pos < got.size()) {
    const int w = got[pos] - 'A';
    ASSERT_TRUE(w >= 0 && w < kThreads) << "at " << pos;
    ASSERT_EQ(got.substr(pos, 6 + 1000), message(w, next[w]).substr(0, 6 + 1000)) << "at " << pos;
    const std::string m = message(w, next[w]);
    ASSERT_EQ(got.compare(pos, m.size(), m), 0) << "message cut at " << pos;
    pos += m.size();
    ++next[w];
  }
  for (int w = 0; w < kThreads; ++w) EXPECT_EQ(next[w], kMessages);
}

TEST(CoreAccepting, BurstIsAcceptedInOneReadinessUpToItsShare) {
  // A burst within the share is taken in one readiness; a storm beyond it is
  // taken share by share, so connected clients are served in between.
  for (const int burst : {40, 300}) {
    SCOPED_TRACE(burst);
    RecordingCore rc;
    Client probe;
    ASSERT_TRUE(probe.Connect(rc.port_));  // the listener is up
    ASSERT_TRUE(rc.WaitUntil([&] { return rc.accepted_.size() == 1; }));

    std::latch blocked(1), release(1);
    rc.Loop()->PostTask([&] {
      blocked.count_down();
      release.wait();
    });
    blocked.wait();
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < burst; ++i) {
      clients.push_back(std::make_unique<Client>());
      ASSERT_TRUE(clients.back()->Connect(rc.port_));  // completes in the kernel's backlog
    }
    // Posted now, this runs after the next wait, which sees the listener ready.
    std::atomic<int> seen{-1};
    rc.Loop()->PostTask([&] {
      std::lock_guard<std::mutex> l(rc.m_);
      seen = static_cast<int>(rc.accepted_.size()) - 1;
    });
    release.count_down();
    ASSERT_TRUE(rc.WaitUntil([&] { return rc.accepted_.size() == static_cast<size_t>(burst) + 1; }, 10000));
    for (int i = 0; i < 100 && seen < 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(seen.load(), std::min(burst, netcore::ConnectSocket::kAcceptsPerPass));
  }
}

TEST(CoreReading, AStreamingPeerIsReadInBoundedPassesWhileOthersAreServed) {
  RecordingCore rc;
  rc.record_data = false;
  rc.on_read = [](std::shared_ptr<netcore::NetSocket> s, const std::string& d) {
    if (d == "ping") s->Write("pong", 4);
  };
  Client streamer, polite;
  ASSERT_TRUE(streamer.Connect(rc.port_));
  ASSERT_TRUE(polite.Connect(rc.port_));
  ASSERT_TRUE(rc.WaitUntil([&] { return rc.accepted_.size() == 2; }));
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    const std::string chunk(256 * 1024, 's');
    while (!stop && streamer.Send(chunk)) {
    }
  });
  std::this_thread::sleep_for(100ms);
  auto worst = 0ms;
  for (int i = 0; i < 5; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(polite.Send("ping"));
    EXPECT_EQ(polite.RecvExact(4, 3000), "pong");
    worst = std::max(worst, std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0));
    std::this_thread::sleep_for(20ms);
  }
  stop = true;
  flood.join();
  EXPECT_LT(worst, 1000ms);
  std::lock_guard<std::mutex> l(rc.m_);
  EXPECT_LE(rc.max_read_length_, netcore::RWSocket::kReadBudgetPerPass);
  EXPECT_GT(rc.read_lengths_, 4u * netcore::RWSocket::kReadBudgetPerPass) << "the stream was hardly read";
}

TEST(CoreReading, InputTheApplicationLeavesIsBoundedThenTheConnectionEnds) {
  RecordingCore rc;
  rc.keep_input = true;
  Client modest, flood;
  ASSERT_TRUE(modest.Connect(rc.port_));
  ASSERT_TRUE(rc.WaitUntil([&] { return rc.accepted_.size() == 1; }));
  ASSERT_TRUE(flood.Connect(rc.port_));
  ASSERT_TRUE(rc.WaitUntil([&] { return rc.accepted_.size() == 2; }));
  const uint64_t flood_id = rc.Accepted(1)->GetSocket();
  ASSERT_TRUE(modest.Send(Pattern(30000)));
  flood.Send(Pattern(netcore::RWSocket::kMaxRecvQueue + 100000));  // may fail once the core ends it
  ASSERT_TRUE(rc.WaitUntil([&] { return !rc.disconnects_.empty(); }));
  std::this_thread::sleep_for(100ms);
  std::lock_guard<std::mutex> l(rc.m_);
  ASSERT_EQ(rc.disconnects_.size(), 1u) << "the modest connection must stay";
  EXPECT_EQ(rc.disconnects_[0].id, flood_id);
  EXPECT_EQ(rc.disconnects_[0].code, netcore::CEC_READ_FAILED);
  EXPECT_EQ(rc.max_queued_, netcore::RWSocket::kMaxRecvQueue);
}

TEST(CoreAccepting, PeerAddressAndListenPort) {
  RecordingCore rc;
  Client c;
  ASSERT_TRUE(c.Connect(rc.port_));
  ASSERT_TRUE(rc.WaitUntil([&] { return rc.accepted_.size() == 1; }));
  std::string ip;
  uint16_t port = 0;
  auto s = rc.Accepted(0);
  EXPECT_TRUE(s->GetAddress(ip, port));
  EXPECT_EQ(ip, "127.0.0.1");
  EXPECT_NE(port, 0);
  EXPECT_EQ(s->GetListenPort(), rc.port_);
}

TEST(CoreAccepting, AnAddressInUseIsNeverListenedOn) {
  RecordingCore rc;
  Client c;
  ASSERT_TRUE(c.Connect(rc.port_));
  // The same address again: bind fails, and the socket must not fall back
  // to listening on an ephemeral port of every interface.
  auto cs = std::make_shared<netcore::ConnectSocket>(
      netcore::kInvalidSocket, std::make_shared<netcore::AlloterWrap>(netcore::MakeNormalAlloter()));
  EXPECT_FALSE(cs->Bind("127.0.0.1", rc.port_));
  EXPECT_FALSE(cs->Listen());
  EXPECT_EQ(netcore::os::LocalPort(cs->Handle()), 0);
}

TEST(CoreLoop, TaskFromAnotherThreadRunsWithoutSocketEvents) {
  RecordingCore rc;
  std::atomic<uint64_t> ran_on{0};
  ASSERT_TRUE(rc.WaitUntil([&] { return true; }));
  std::this_thread::sleep_for(50ms);
  rc.Loop()->PostTask([&] { ran_on = netcore::os::CurrentThreadId(); });
  for (int i = 0; i < 200 && ran_on == 0; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(ran_on.load(), rc.Loop()->ThreadId());
  EXPECT_NE(ran_on.load(), netcore::os::CurrentThreadId());
}

TEST(CoreLoop, TimersFireInOrderAndStop) {
  RecordingCore rc;
  std::mutex m;
  std::vector<std::string> fired;
  auto d = rc.Loop();
  d->AddTimer(60, false, [&] { std::lock_guard<std::mutex> l(m); fired.push_back("once"); });
  const uint32_t rep = d->AddTimer(25, true, [&] { std::lock_guard<std::mutex> l(m); fired.push_back("rep"); });
  std::this_thread::sleep_for(200ms);
  d->StopTimer(rep);
  std::this_thread::sleep_for(50ms);
  std::lock_guard<std::mutex> l(m);
  const size_t count = fired.size();
  ASSERT_GE(count, 3u);
  EXPECT_EQ(fired[0], "rep");  // due first; a late loop turn never reorders
  EXPECT_GE(std::count(fired.begin(), fired.end(), "rep"), 2);
  EXPECT_EQ(std::count(fired.begin(), fired.end(), "once"), 1);
  EXPECT_LE(std::count(fired.begin(), fired.end(), "rep"), 9);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(fired.size(), count) << "a stopped timer fired again";
}

TEST(CoreLoop, SocketTimerCallsTheTimerHandler) {
  RecordingCore rc;
  std::atomic<int> ticks{0};
  rc.core_->SetTimerHandler([&](std::shared_ptr<netcore::NetSocket>) { ++ticks; });
  Client c;
  ASSERT_TRUE(c.Connect(rc.port_));
  ASSERT_TRUE(rc.WaitUntil([&] { return rc.accepted_.size() == 1; }));
  auto s = rc.Accepted(0);
  s->AddTimer(10, true);
  for (int i = 0; i < 200 && ticks < 3; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_GE(ticks.load(), 3);
  s->Close();  // closing stops the timer
  std::this_thread::sleep_for(50ms);
  const int after = ticks;
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(ticks.load(), after);
}

// Sockets reach their IO thread and the application's handlers only weakly:
// one the application keeps after the core has ended must neither run a
// handler (whose captures may be gone) nor reach the ended loop.
TEST(CoreLoop, ASocketKeptAfterTheCoreEndsIsInert) {
  std::atomic<int> ticks{0};
  std::shared_ptr<netcore::NetSocket> kept;
  int ticks_at_end = 0;
  {
    auto rc = std::make_unique<RecordingCore>();
    rc->core_->SetTimerHandler([&](std::shared_ptr<netcore::NetSocket>) { ++ticks; });
    Client c;
    ASSERT_TRUE(c.Connect(rc->port_));
    ASSERT_TRUE(rc->WaitUntil([&] { return rc->accepted_.size() == 1; }));
    kept = rc->Accepted(0);
    kept->AddTimer(1, true);
    for (int i = 0; i < 200 && ticks == 0; ++i) std::this_thread::sleep_for(5ms);
    ASSERT_GT(ticks.load(), 0);
    rc.reset();  // stops and joins the IO thread, then the core goes
    ticks_at_end = ticks;
  }
  EXPECT_FALSE(kept->Write("late", 4));
  kept->AddTimer(1, true);
  kept->Close();
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(ticks.load(), ticks_at_end);
  kept.reset();  // its last owner: stops its timer on no loop at all
}

TEST(CoreLoop, UnknownProcessorCountStillGetsAnIoThread) {
  auto core = std::make_shared<netcore::NetCoreBase>();
  EXPECT_TRUE(core->StartDispatchers(1, 0));
  EXPECT_EQ(core->Dispatchers().size(), 1u);
  auto many = std::make_shared<netcore::NetCoreBase>();
  many->StartDispatchers(8, 2);  // twice the processors or more: one per processor
  EXPECT_EQ(many->Dispatchers().size(), 2u);
  EXPECT_EQ(many->GetRange().max, 1u);
  core->StopDispatchers();
  many->StopDispatchers();
}

TEST(CoreLoop, EchoOverOutgoingConnection) {
  RecordingCore server;
  server.on_read = [](std::shared_ptr<netcore::NetSocket> s, const std::string& d) {
    s->Write(d.data(), static_cast<uint32_t>(d.size()));
  };
  auto client = std::make_shared<netcore::NetCoreBase>();
  client->StartDispatchers(1);
  std::mutex m;
  std::condition_variable cv;
  std::string echoed;
  uint32_t connect_err = 99;
  client->SetConnectHandler([&](std::shared_ptr<netcore::NetSocket> s, uint32_t err) {
    std::lock_guard<std::mutex> l(m);
    connect_err = err;
    if (err == 0) s->Write("ping", 4);
    cv.notify_all();
  });
  client->SetReadHandler([&](std::shared_ptr<netcore::NetSocket>, std::shared_ptr<netcore::Buffer> b, uint32_t) {
    std::string d(b->GetCanReadLength(), '\0');
    b->Read(d.data(), static_cast<uint32_t>(d.size()));
    std::lock_guard<std::mutex> l(m);
    echoed += d;
    cv.notify_all();
  });
  Client probe;
  ASSERT_TRUE(probe.Connect(server.port_));
  ASSERT_TRUE(client->Connect("127.0.0.1", server.port_));
  {
    std::unique_lock<std::mutex> l(m);
    ASSERT_TRUE(cv.wait_for(l, 5s, [&] { return echoed == "ping"; }));
    EXPECT_EQ(connect_err, 0u);
  }
#ifndef _WIN32
  // A refused connection reports through the connect handler. (Wine's
  // WSAPoll does not report a failed connect at all, like older Windows.)
  connect_err = 0;
  const uint16_t closed_port = nctest::FreePort();
  ASSERT_TRUE(client->Connect("127.0.0.1", closed_port));
  {
    std::unique_lock<std::mutex> l(m);
    ASSERT_TRUE(cv.wait_for(l, 5s, [&] { return connect_err != 0; }));
  }
#endif
  client->StopDispatchers();
  client->JoinDispatchers();
}
