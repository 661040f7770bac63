// An IO thread with idle connections sleeps: no wake-ups at all, counted as
// its context switches in /proc.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/platform/netcore/loopback_client.h"

namespace {

// Voluntary plus involuntary context switches of one thread of this process.
long ContextSwitches(uint64_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string line;
  long total = 0;
  while (std::getline(in, line)) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
      total += std::stol(line.substr(line.find(':') + 1));
    }
  }
  return total;
}

}  // namespace

TEST(IdleLoop, HundredIdleConnectionsNeverWakeTheIoThread) {
  nctest::RecordingCore rc;
  rc.on_read = [](std::shared_ptr<netcore::NetSocket> s, const std::string& d) {
    s->Write(d.data(), static_cast<uint32_t>(d.size()));
  };
  std::vector<std::unique_ptr<nctest::Client>> clients;
  for (int i = 0; i < 100; ++i) {
    clients.push_back(std::make_unique<nctest::Client>());
    ASSERT_TRUE(clients.back()->Connect(rc.port_, i == 0 ? 4096 : 0));
    ASSERT_TRUE(clients.back()->Send("ping"));
    ASSERT_EQ(clients.back()->RecvExact(4), "ping");
  }
  // One connection has had write interest registered (its send queue had to
  // wait for the peer) and must lose it again once the queue drained.
  auto first = rc.Accepted(0);
  const std::string big(16u << 20, 'b');
  ASSERT_TRUE(first->Write(big.data(), static_cast<uint32_t>(big.size())));
  clients[0]->SetRcvBuf(1 << 20);
  ASSERT_EQ(clients[0]->RecvExact(big.size(), 10000).size(), big.size());
  ASSERT_TRUE(rc.WaitUntil([&] { return rc.write_reports_.size() >= 101; }));

  const uint64_t tid = rc.Loop()->ThreadId();
  ASSERT_NE(tid, 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const long before = ContextSwitches(tid);
  ASSERT_GT(before, 0);
  std::this_thread::sleep_for(std::chrono::seconds(10));
  EXPECT_EQ(ContextSwitches(tid), before);
}
