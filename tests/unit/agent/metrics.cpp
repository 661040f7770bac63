// Counter formulas, the /proc and SMBIOS parsers, the network baseline rules
// and InitConfig's readiness flags and teardown, against fake readers.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "agent/metrics/counter_math.h"
#include "agent/metrics/init_config.h"
#include "agent/metrics/network_rates.h"

using namespace vantrel::agent;

TEST(CounterFormulas, FrequencyAndRamUsage) {
  EXPECT_DOUBLE_EQ(FrequencyFromPerformance(112.5, 2400), 2700.0);  // above 100 % passes through
  EXPECT_DOUBLE_EQ(FrequencyFromPerformance(-1.0, 2400), -1.0);
  EXPECT_DOUBLE_EQ(FrequencyFromPerformance(-1.0, 0), -1.0);
  EXPECT_DOUBLE_EQ(FrequencyFromPerformance(80.0, 0), 0.0);
  EXPECT_DOUBLE_EQ(RamUsagePercent(16384.0, 4096.0), 75.0);
  // A failed available reading gives -100/total, not -1.
  EXPECT_DOUBLE_EQ(RamUsagePercent(16384.0, -1.0), -100.0 / 16384.0);
  // Total memory never read: finite, not inf or NaN.
  EXPECT_EQ(RamUsagePercent(0.0, 4096.0), 0.0);
  EXPECT_EQ(RamUsagePercent(0.0, -1.0), 0.0);
}

TEST(CounterParsers, ProcStatMeminfoCpuinfo) {
  auto a = ParseProcStatTotal("cpu  100 0 100 700 100 0 0 0 0 0\ncpu0 1 2 3 4\n");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->total, 1000u);
  EXPECT_EQ(a->busy, 200u);
  auto b = ParseProcStatTotal("intr 5\ncpu  200 0 200 1500 100 0 0 0 0 0\n");
  ASSERT_TRUE(b);
  EXPECT_DOUBLE_EQ(ProcessorTimePercent(*a, *b).value_or(-1), 20.0);
  EXPECT_EQ(ProcessorTimePercent(*a, *a), std::nullopt);  // no time passed: no reading, not 0 %
  EXPECT_FALSE(ParseProcStatTotal("cpu0 1 2 3 4\n"));
  EXPECT_FALSE(ParseProcStatTotal("cpu  1 x 3 4\n"));
  // Fields that sum past 64 bits cannot be real counters: refused, not wrapped.
  EXPECT_FALSE(ParseProcStatTotal("cpu  18446744073709551615 0 1 0\n"));
  auto max = ParseProcStatTotal("cpu  18446744073709551614 0 1 0\n");
  ASSERT_TRUE(max);
  EXPECT_EQ(max->total, 18446744073709551615u);
  EXPECT_EQ(max->busy, max->total);

  const char* meminfo = "MemTotal:       16777216 kB\nMemFree: 1 kB\nMemAvailable:    4194304 kB\n";
  EXPECT_EQ(ParseMeminfoKb(meminfo, "MemTotal"), 16777216u);
  EXPECT_EQ(ParseMeminfoKb(meminfo, "MemAvailable"), 4194304u);
  EXPECT_FALSE(ParseMeminfoKb(meminfo, "Mem"));

  auto mhz = ParseCpuinfoMhz("processor\t: 0\ncpu MHz\t\t: 2096.019\n\nprocessor\t: 2\ncpu MHz\t: 1800\n");
  ASSERT_EQ(mhz.size(), 3u);
  EXPECT_DOUBLE_EQ(*mhz[0], 2096.019);
  EXPECT_FALSE(mhz[1]);
  EXPECT_DOUBLE_EQ(*mhz[2], 1800.0);
}

namespace {

// One SMBIOS structure: header, formatted bytes, then an empty string set.
void AddStructure(std::vector<uint8_t>& t, uint8_t type, std::vector<uint8_t> formatted) {
  t.push_back(type);
  t.push_back(static_cast<uint8_t>(formatted.size() + 4));
  t.push_back(0);
  t.push_back(0);
  t.insert(t.end(), formatted.begin(), formatted.end());
  t.push_back(0);
  t.push_back(0);
}

std::vector<uint8_t> MemoryDevice(uint16_t size, uint16_t speed, uint32_t extended = 0) {
  std::vector<uint8_t> f(0x5C - 4, 0);
  f[0x0C - 4] = size & 0xFF;
  f[0x0D - 4] = size >> 8;
  f[0x20 - 4] = speed & 0xFF;
  f[0x21 - 4] = speed >> 8;
  for (int i = 0; i < 4; ++i) f[0x58 - 4 + i] = (extended >> (8 * i)) & 0xFF;
  return f;
}

}  // namespace

TEST(CounterParsers, SmbiosMemorySpeedSkipsEmptySlotsAndOtherTypes) {
  std::vector<uint8_t> t;
  AddStructure(t, 4, std::vector<uint8_t>(40, 0xAB));
  AddStructure(t, 17, MemoryDevice(0, 3200));      // empty slot
  AddStructure(t, 17, MemoryDevice(8192, 0));      // speed unknown
  AddStructure(t, 17, MemoryDevice(8192, 4800));
  AddStructure(t, 127, {});
  EXPECT_EQ(SmbiosConfiguredMemorySpeed(t), 4800u);

  std::vector<uint8_t> ext;
  AddStructure(ext, 17, MemoryDevice(16384, 0xFFFF, 70000));
  EXPECT_EQ(SmbiosConfiguredMemorySpeed(ext), 70000u);

  // A structure that claims more bytes than the table holds ends the walk.
  std::vector<uint8_t> cut = t;
  cut[1] = 0xFF;
  cut.resize(30);
  EXPECT_EQ(SmbiosConfiguredMemorySpeed(cut), 0u);
  EXPECT_EQ(SmbiosConfiguredMemorySpeed({}), 0u);
}

TEST(NetworkRates, WhichInterfacesCount) {
  struct Case {
    const char* what;
    InterfaceRow row;
    double eth_in, wifi_in;
  } cases[] = {
      {"wired up", {true, true, true, kIfTypeEthernet, 100, 1}, 100, 0},
      {"wifi up", {true, true, true, kIfTypeWifi, 50, 1}, 0, 50},
      {"virtual wired", {false, true, true, kIfTypeEthernet, 100, 1}, 0, 0},
      {"virtual wifi", {false, true, true, kIfTypeWifi, 100, 1}, 0, 0},
      {"no connector", {true, false, true, kIfTypeEthernet, 100, 1}, 0, 0},
      {"unplugged", {true, true, false, kIfTypeEthernet, 100, 1}, 0, 0},
      {"other type", {true, true, true, 24, 100, 1}, 0, 0},
  };
  for (const Case& c : cases) {
    NetworkSums s = SumInterfaces(std::span<const InterfaceRow>(&c.row, 1));
    EXPECT_EQ(s.ethernet_received, c.eth_in) << c.what;
    EXPECT_EQ(s.wifi_received, c.wifi_in) << c.what;
  }
  InterfaceRow two[] = {{true, true, true, kIfTypeEthernet, 100, 10}, {true, true, true, kIfTypeEthernet, 50, 5}};
  NetworkSums s = SumInterfaces(two);
  EXPECT_EQ(s.ethernet_received, 150);
  EXPECT_EQ(s.ethernet_sent, 15);
}

TEST(NetworkRates, BaselineRules) {
  constexpr int64_t kSecond = 10000000;
  NetworkBaseline b;
  NetworkSums s;
  s.wifi_received = 1000;
  s.ethernet_sent = 500;
  b.Update(s, 0);

  // 1,280,000 bytes over 10 s is 1000 kibibit/s.
  s.wifi_received += 1280000;
  NetworkRates r = b.Advance(s, 10 * kSecond);
  EXPECT_DOUBLE_EQ(r.wifi_download, 1000.0);
  EXPECT_DOUBLE_EQ(r.ethernet_upload, 0.0);

  // 0.2 s later: the rate over 0.2 s, but the baseline stays at 10 s.
  s.wifi_received += 25600;
  r = b.Advance(s, 10 * kSecond + kSecond / 5);
  EXPECT_DOUBLE_EQ(r.wifi_download, 25600 * 8 / 1024.0 / 0.2);
  EXPECT_EQ(b.ticks(), 10 * kSecond);
  // 1 s after the 10 s point measures over 1 s.
  r = b.Advance(s, 11 * kSecond);
  EXPECT_DOUBLE_EQ(r.wifi_download, 200.0);
  EXPECT_EQ(b.ticks(), 11 * kSecond);

  // The only wired adapter unplugged: its sum is 0, the baseline keeps its total.
  NetworkSums gone = s;
  gone.ethernet_sent = 0;
  r = b.Advance(gone, 12 * kSecond);
  EXPECT_DOUBLE_EQ(r.ethernet_upload, 0.0);
  EXPECT_EQ(b.sums().ethernet_sent, 500);

  // Counters that restart never give a negative rate; the same tick never gives inf.
  NetworkSums restarted = s;
  restarted.wifi_received = 10;
  r = b.Advance(restarted, 13 * kSecond);
  EXPECT_EQ(r.wifi_download, 0.0);
  r = b.Advance(restarted, 13 * kSecond);
  EXPECT_TRUE(std::isfinite(r.wifi_download));
  EXPECT_EQ(r.wifi_download, 0.0);
}

namespace {

struct FakeState {
  bool initial_ok = true;
  int collects_ok = 1000;
  double performance = 50.0;
  bool interfaces_ok = true;
  std::atomic<int> collects{0};
  std::atomic<bool> destroyed{false};
};

class FakeBackend : public CounterBackend {
 public:
  explicit FakeBackend(FakeState* s) : s_(s) {}
  ~FakeBackend() override { s_->destroyed = true; }
  bool InitialPDH() override { return s_->initial_ok; }
  bool Collect() override { return ++s_->collects <= s_->collects_ok; }
  double ProcessorTime() override { return 10.0; }
  double ProcessorPerformance() override { return s_->performance; }
  double AvailableMBytes() override { return 4096.0; }
  double CorePerformance(int index) override { return index < 2 ? 100.0 : -1.0; }
  uint32_t MaxClockSpeed() override { return 2000; }
  uint32_t MemoryClockSpeed() override { return 3200; }
  double TotalMemoryMB() override { return 16384.0; }
  bool ReadInterfaces(std::vector<InterfaceRow>* rows) override {
    rows->clear();
    return s_->interfaces_ok;
  }
  int64_t NowTicks() override { return 0; }

 private:
  FakeState* s_;
};

}  // namespace

TEST(InitConfigFlags, CollectFailureIsForGood) {
  FakeState s;
  s.collects_ok = 1;
  InitConfig c(std::make_unique<FakeBackend>(&s));
  ASSERT_TRUE(c.pdh_ready());
  EXPECT_TRUE(c.CollectSample());
  EXPECT_DOUBLE_EQ(c.CpuFrequency(2400), 1200.0);
  EXPECT_DOUBLE_EQ(c.CoreFrequency(1, 2000), 2000.0);
  EXPECT_DOUBLE_EQ(c.CoreFrequency(5, 2000), -1.0);
  EXPECT_DOUBLE_EQ(c.RamUsage(), 75.0);
  EXPECT_FALSE(c.CollectSample());
  EXPECT_FALSE(c.pdh_ready());
  EXPECT_FALSE(c.CollectSample());
  EXPECT_EQ(s.collects, 2);  // not asked again once failed
  EXPECT_DOUBLE_EQ(c.GetProcessorTime(), -1.0);
  EXPECT_DOUBLE_EQ(c.CpuFrequency(2400), -1.0);
}

TEST(InitConfigFlags, NotReadyPiecesKeepTheirFailureValues) {
  FakeState s;
  s.initial_ok = false;
  s.interfaces_ok = false;
  InitConfig c(std::make_unique<FakeBackend>(&s));
  EXPECT_FALSE(c.pdh_ready());
  EXPECT_FALSE(c.network_ready());
  EXPECT_FALSE(c.CollectSample());
  EXPECT_EQ(s.collects, 0);
  double a = 1, b = 1, d = 1, e = 1;
  s.interfaces_ok = true;  // a later success does not make the network ready
  EXPECT_FALSE(c.GetNetworkRates(&a, &b, &d, &e));
  EXPECT_EQ(a, 1);
}

TEST(InitConfigHolder, TeardownWaitsForTheRunningReport) {
  FakeState s;
  InitConfigHolder holder;
  EXPECT_FALSE(holder.Acquire());
  holder.Install(std::make_unique<InitConfig>(std::make_unique<FakeBackend>(&s)));

  std::atomic<bool> leased{false}, release{false}, saw_alive{false};
  std::thread report([&] {
    auto lease = holder.Acquire();
    leased = true;
    while (!release) std::this_thread::yield();
    saw_alive = lease && !s.destroyed && lease->CollectSample();
  });
  while (!leased) std::this_thread::yield();
  std::thread closer([&] { EXPECT_TRUE(holder.Teardown(std::chrono::seconds(10))); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(s.destroyed);
  EXPECT_FALSE(holder.Acquire());  // no new report gets it once teardown began
  release = true;
  report.join();
  closer.join();
  EXPECT_TRUE(saw_alive);
  EXPECT_TRUE(s.destroyed);
}

TEST(InitConfigHolder, HungReportLeavesTheObjectAlive) {
  FakeState s;
  InitConfigHolder holder;
  holder.Install(std::make_unique<InitConfig>(std::make_unique<FakeBackend>(&s)));
  {
    auto lease = holder.Acquire();
    EXPECT_FALSE(holder.Teardown(std::chrono::milliseconds(20)));
    EXPECT_FALSE(s.destroyed);
    EXPECT_TRUE(lease->CollectSample());
  }
}
