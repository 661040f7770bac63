// The Linux counter readers against fixture trees under VANTREL_SYSROOT.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "agent/metrics/init_config.h"
#include "tests/support/test_env.h"

using namespace vantrel::agent;
namespace fs = std::filesystem;

namespace {

class SysTree {
 public:
  SysTree() : root_(fs::temp_directory_path() / ("vantrel-sys-" + std::to_string(::getpid()) + "-" +
                                                 std::to_string(counter_++))) {
    fs::create_directories(root_);
    Write("/proc/stat", "cpu  100 0 100 700 100 0 0 0 0 0\n");
    Write("/proc/meminfo", "MemTotal:       16777216 kB\nMemAvailable:    4194304 kB\n");
    fs::create_directories(root_ / "sys/class/net");
  }
  ~SysTree() { fs::remove_all(root_); }
  void Write(const std::string& path, const std::string& text) {
    fs::path p = root_ / path.substr(1);
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
  }
  void Mkdir(const std::string& path) { fs::create_directories(root_ / path.substr(1)); }
  void Cpufreq(unsigned cpu, uint64_t cur_khz, uint64_t base_khz, uint64_t max_khz) {
    std::string d = "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/cpufreq/";
    Write(d + "scaling_cur_freq", std::to_string(cur_khz) + "\n");
    if (base_khz) Write(d + "base_frequency", std::to_string(base_khz) + "\n");
    Write(d + "cpuinfo_max_freq", std::to_string(max_khz) + "\n");
  }
  // An adapter under /sys/class/net.
  void Adapter(const std::string& name, bool hardware, bool wifi, const std::string& oper, uint64_t rx,
               uint64_t tx) {
    std::string d = "/sys/class/net/" + name + "/";
    Write(d + "type", "1\n");
    if (hardware) Mkdir(d + "device");
    if (wifi) Mkdir(d + "wireless");
    Write(d + "operstate", oper + "\n");
    Write(d + "statistics/rx_bytes", std::to_string(rx) + "\n");
    Write(d + "statistics/tx_bytes", std::to_string(tx) + "\n");
  }
  std::string root() const { return root_.string(); }

 private:
  static inline int counter_ = 0;
  fs::path root_;
};

constexpr int64_t kSecond = 10000000;
unsigned Cores() { return std::thread::hardware_concurrency(); }

}  // namespace

TEST(LinuxCounters, CpufreqMemoryAndProcessorTime) {
  SysTree tree;
  for (unsigned i = 0; i < Cores(); ++i) tree.Cpufreq(i, 2700000, 2400000, 2400000);
  std::vector<uint8_t> dmi = {17, 0x22, 0, 0};
  dmi.resize(0x22, 0);
  dmi[0x0C] = 0x00;
  dmi[0x0D] = 0x20;  // 8 GiB
  dmi[0x20] = 0x80;
  dmi[0x21] = 0x0C;  // 3200 MHz
  dmi.push_back(0);
  dmi.push_back(0);
  tree.Write("/sys/firmware/dmi/tables/DMI", std::string(dmi.begin(), dmi.end()));
  vantrel::testing::ScopedTestEnv env(tree.root());

  InitConfig c;
  ASSERT_TRUE(c.pdh_ready());
  EXPECT_DOUBLE_EQ(c.GetTotalMemoryMB(), 16384.0);
  tree.Write("/proc/stat", "cpu  300 0 100 1300 100 0 0 0 0 0\n");
  ASSERT_TRUE(c.CollectSample());
  uint32_t max = c.GetMaxClockSpeed();
  EXPECT_EQ(max, 2400u);
  EXPECT_DOUBLE_EQ(c.GetProcessorPerformance(), 112.5);
  EXPECT_DOUBLE_EQ(c.CpuFrequency(max), 2700.0);
  for (unsigned i = 0; i < Cores(); ++i) EXPECT_DOUBLE_EQ(c.CoreFrequency(i, max), 2700.0) << i;
  EXPECT_DOUBLE_EQ(c.CoreFrequency(Cores(), max), -1.0);
  EXPECT_DOUBLE_EQ(c.RamUsage(), 75.0);
  EXPECT_DOUBLE_EQ(c.GetProcessorTime(), 25.0);  // 200 busy of 800
  // A second report in the same pass: no jiffy has passed, the last interval stands.
  ASSERT_TRUE(c.CollectSample());
  EXPECT_DOUBLE_EQ(c.GetProcessorTime(), 25.0);
  tree.Write("/proc/stat", "cpu  300 0 100 1400 100 0 0 0 0 0\n");
  ASSERT_TRUE(c.CollectSample());
  EXPECT_DOUBLE_EQ(c.GetProcessorTime(), 0.0);  // an idle interval is 0 %
  EXPECT_EQ(c.GetMemoryClockSpeed(), 3200u);

  // Without base_frequency the maximum frequency is the reference.
  for (unsigned i = 0; i < Cores(); ++i) tree.Cpufreq(i, 1200000, 0, 2400000);
  for (unsigned i = 0; i < Cores(); ++i)
    fs::remove(tree.root() + "/sys/devices/system/cpu/cpu" + std::to_string(i) + "/cpufreq/base_frequency");
  ASSERT_TRUE(c.CollectSample());
  EXPECT_DOUBLE_EQ(c.CpuFrequency(max), 1200.0);

  // /proc/stat gone: the collection fails and PDH stays off.
  fs::remove(tree.root() + "/proc/stat");
  EXPECT_FALSE(c.CollectSample());
  fs::create_directories(tree.root() + "/proc");
  tree.Write("/proc/stat", "cpu  1 0 1 1 0 0 0 0 0 0\n");
  EXPECT_FALSE(c.CollectSample());
  EXPECT_FALSE(c.pdh_ready());
}

TEST(LinuxCounters, VirtualMachineWithoutCpufreq) {
  SysTree tree;
  std::string cpuinfo;
  for (unsigned i = 0; i < Cores(); ++i)
    cpuinfo += "processor\t: " + std::to_string(i) + "\ncpu MHz\t\t: 2096.019\n\n";
  tree.Write("/proc/cpuinfo", cpuinfo);
  vantrel::testing::ScopedTestEnv env(tree.root());
  InitConfig c;
  ASSERT_TRUE(c.CollectSample());
  uint32_t max = c.GetMaxClockSpeed();
  EXPECT_EQ(max, 2096u);
  EXPECT_DOUBLE_EQ(c.CpuFrequency(max), 2096.0);
  EXPECT_DOUBLE_EQ(c.CoreFrequency(0, max), 2096.0);
  EXPECT_EQ(c.GetMemoryClockSpeed(), 0u);  // no SMBIOS table

  // Neither cpufreq nor "cpu MHz": the failure readings.
  fs::remove(tree.root() + "/proc/cpuinfo");
  ASSERT_TRUE(c.CollectSample());
  EXPECT_EQ(c.GetMaxClockSpeed(), 0u);
  EXPECT_DOUBLE_EQ(c.GetProcessorPerformance(), -1.0);
  EXPECT_DOUBLE_EQ(c.CpuFrequency(0), -1.0);
  EXPECT_DOUBLE_EQ(c.CoreFrequency(0, 0), -1.0);
}

TEST(LinuxCounters, MissingMeminfoLeavesPdhNotReady) {
  SysTree tree;
  fs::remove(tree.root() + "/proc/meminfo");
  vantrel::testing::ScopedTestEnv env(tree.root());
  InitConfig c;
  EXPECT_FALSE(c.pdh_ready());
  EXPECT_EQ(c.GetTotalMemoryMB(), 0.0);
  EXPECT_EQ(c.RamUsage(), 0.0);
}

TEST(LinuxCounters, NetworkRatesFromSysClassNet) {
  SysTree tree;
  tree.Adapter("wlan0", true, true, "up", 1000, 10);
  tree.Adapter("eth0", true, false, "up", 5000, 500);
  tree.Adapter("veth1", false, false, "up", 7000, 700);  // virtual: never counts
  tree.Adapter("lo", false, false, "unknown", 9000, 9000);
  vantrel::testing::ScopedTestEnv env(tree.root());

  int64_t now = 0;
  InitConfig c(CreateCounterBackend([&] { return now; }));
  ASSERT_TRUE(c.network_ready());

  tree.Adapter("wlan0", true, true, "up", 1000 + 1280000, 10);
  tree.Adapter("eth0", true, false, "up", 5000 + 12800, 500);
  tree.Adapter("veth1", false, false, "up", 7000 + 99999999, 700 + 99999999);
  now = 10 * kSecond;
  double eu, ed, wu, wd;
  ASSERT_TRUE(c.GetNetworkRates(&eu, &ed, &wu, &wd));
  EXPECT_DOUBLE_EQ(wd, 1000.0);
  EXPECT_DOUBLE_EQ(wu, 0.0);
  EXPECT_DOUBLE_EQ(ed, 10.0);
  EXPECT_DOUBLE_EQ(eu, 0.0);

  // The wired adapter unplugged: skipped, its baseline stays, its rates are 0.
  tree.Adapter("eth0", true, false, "down", 0, 0);
  now = 20 * kSecond;
  ASSERT_TRUE(c.GetNetworkRates(&eu, &ed, &wu, &wd));
  EXPECT_DOUBLE_EQ(ed, 0.0);
  tree.Adapter("eth0", true, false, "up", 5000 + 12800 + 25600, 500);
  now = 30 * kSecond;
  ASSERT_TRUE(c.GetNetworkRates(&eu, &ed, &wu, &wd));
  EXPECT_DOUBLE_EQ(ed, 20.0);  // measured from the pre-unplug total over the last 10 s

  // The table unreadable: false, and the baseline is kept.
  fs::remove_all(tree.root() + "/sys/class/net");
  EXPECT_FALSE(c.GetNetworkRates(&eu, &ed, &wu, &wd));
}
