// Linux readers: /proc/stat (processor time), cpufreq (processor performance),
// /proc/meminfo (available and total memory), /proc/cpuinfo (the clock where a
// VM has no cpufreq), the SMBIOS table (memory clock) and /sys/class/net.
// Every path is taken under paths::SysRoot().
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <chrono>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "agent/metrics/counter_backend.h"
#include "agent/metrics/counter_math.h"
#include "agent/metrics/open_files_posix.h"
#include "common/paths.h"

namespace vantrel::agent {

int64_t MonotonicTicks() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() / 100;
}

namespace {

// What one read returns from the start of the file, up to `size` bytes;
// empty when it cannot be read.
std::string_view ReadPrefix(const std::string& path, char* buffer, size_t size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  ssize_t n;
  do {
    n = ::read(fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  return n > 0 ? std::string_view(buffer, static_cast<size_t>(n)) : std::string_view();
}

// A sysfs number ("2400000\n"). Read into a small stack buffer: this also
// runs on the report's worker threads, which should neither allocate nor
// reach deeper into their stacks than their other tasks do.
std::optional<uint64_t> ReadNumber(const std::string& path) {
  char buffer[64];
  return ParseLeadingNumber(ReadPrefix(path, buffer, sizeof buffer));
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\r')) s.pop_back();
  return s;
}

class ProcSysBackend final : public CounterBackend {
 public:
  explicit ProcSysBackend(TickClock clock) : clock_(std::move(clock)) {
    unsigned n = std::thread::hardware_concurrency();
    cores_ = n;
  }

  bool InitialPDH() override {
    // The counters "add" when their sources exist; the first collection must succeed.
    if (!proc_files_.Read(paths::SysPath("/proc/stat"))) return false;
    auto meminfo = proc_files_.Read(paths::SysPath("/proc/meminfo"));
    if (!meminfo || !ParseMeminfoKb(*meminfo, "MemAvailable")) return false;
    return Collect();
  }

  bool Collect() override {
    auto stat = proc_files_.Read(paths::SysPath("/proc/stat"));
    std::optional<CpuTimes> times = stat ? ParseProcStatTotal(*stat) : std::nullopt;
    if (!times) return false;
    // Two reports in one pass sample /proc/stat without a jiffy between them:
    // the last interval's usage stands rather than an empty interval's.
    if (!current_ || !previous_ || times->total != current_->total) {
      previous_ = current_;
      current_ = times;
    }

    available_mb_ = -1.0;
    if (auto meminfo = proc_files_.Read(paths::SysPath("/proc/meminfo"))) {
      if (auto kb = ParseMeminfoKb(*meminfo, "MemAvailable")) available_mb_ = std::floor(*kb / 1024.0);
    }

    // /proc/cpuinfo is slow to generate; it is read only once a core turns
    // out to have no cpufreq.
    std::optional<std::vector<std::optional<double>>> cpuinfo_mhz;
    core_performance_.assign(cores_, -1.0);
    for (unsigned i = 0; i < cores_; ++i) core_performance_[i] = ReadCorePerformance(i, cpuinfo_mhz);
    return true;
  }

  double ProcessorTime() override {
    if (!previous_ || !current_) return -1.0;
    return ProcessorTimePercent(*previous_, *current_).value_or(0.0);
  }

  // The _Total instance: the mean over the processors that could be read.
  double ProcessorPerformance() override {
    double sum = 0;
    int count = 0;
    for (double p : core_performance_) {
      if (p >= 0) {
        sum += p;
        ++count;
      }
    }
    return count ? sum / count : -1.0;
  }

  double AvailableMBytes() override { return available_mb_; }

  double CorePerformance(int index) override {
    if (index < 0 || static_cast<size_t>(index) >= core_performance_.size()) return -1.0;
    return core_performance_[index];
  }

  uint32_t MaxClockSpeed() override {
    if (auto khz = ReadNumber(paths::SysPath("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq")))
      return static_cast<uint32_t>(*khz / 1000);
    // Without cpufreq (most VMs) the reported clock stands for the maximum
    // too. Processor 0's block opens the file and its "cpu MHz" line comes
    // within the first few hundred bytes, so the start is enough; read into a
    // small stack buffer for the same reason as ReadNumber.
    char head[1024];
    const std::string_view text = ReadPrefix(paths::SysPath("/proc/cpuinfo"), head, sizeof head);
    auto mhz = ParseCpuinfoMhz(text);
    if (!mhz.empty() && mhz[0]) return static_cast<uint32_t>(std::lround(*mhz[0]));
    return 0;
  }

  // The installed memory does not change while the system runs, and neither
  // does whether this account may read the SMBIOS table (root only on most
  // systems), so the first answer is kept instead of reading the table on
  // every report.
  uint32_t MemoryClockSpeed() override {
    if (memory_clock_mhz_) return *memory_clock_mhz_;
    auto table = ReadWholeFile(paths::SysPath("/sys/firmware/dmi/tables/DMI"));
    memory_clock_mhz_ = table ? SmbiosConfiguredMemorySpeed(std::span<const uint8_t>(
                                    reinterpret_cast<const uint8_t*>(table->data()), table->size()))
                              : 0;
    return *memory_clock_mhz_;
  }

  double TotalMemoryMB() override {
    auto meminfo = proc_files_.Read(paths::SysPath("/proc/meminfo"));
    if (!meminfo) return 0;
    auto kb = ParseMeminfoKb(*meminfo, "MemTotal");
    return kb ? *kb / 1024.0 : 0.0;
  }

  bool ReadInterfaces(std::vector<InterfaceRow>* rows) override {
    std::string base = paths::SysPath("/sys/class/net");
    DIR* dir = ::opendir(base.c_str());
    if (!dir) return false;
    rows->clear();
    while (dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      std::string p = base + "/" + name;
      // Rows that never count (virtual, or not up) are listed without the
      // rest of their attributes: this runs on every report.
      InterfaceRow row;
      row.type = 1;  // IF_TYPE_OTHER
      // Virtual adapters (bridges, veth, tun, VPNs) have no backing device.
      row.hardware = Exists(p + "/device");
      row.connector_present = row.hardware;
      if (!row.hardware) {
        rows->push_back(row);
        continue;
      }
      auto type = net_files_.ReadNumber(p + "/type");
      if (!type) continue;
      auto oper = net_files_.Read(p + "/operstate");
      row.up = oper && Trimmed(*oper) == "up";
      if (row.up) {
        bool wifi = Exists(p + "/wireless") || Exists(p + "/phy80211");
        if (wifi) {
          row.type = kIfTypeWifi;
        } else if (*type == 1) {  // ARPHRD_ETHER
          row.type = kIfTypeEthernet;
        } else {
          row.type = 1;  // IF_TYPE_OTHER
        }
        row.in_octets = net_files_.ReadNumber(p + "/statistics/rx_bytes").value_or(0);
        row.out_octets = net_files_.ReadNumber(p + "/statistics/tx_bytes").value_or(0);
      }
      rows->push_back(row);
    }
    ::closedir(dir);
    net_files_.CloseUnused();
    return true;
  }

  int64_t NowTicks() override { return clock_ ? clock_() : MonotonicTicks(); }

 private:
  double ReadCorePerformance(unsigned i, std::optional<std::vector<std::optional<double>>>& cpuinfo_mhz) {
    std::string dir = paths::SysPath("/sys/devices/system/cpu/cpu" + std::to_string(i) + "/cpufreq");
    if (auto cur = proc_files_.ReadNumber(dir + "/scaling_cur_freq")) {
      auto base = proc_files_.ReadNumber(dir + "/base_frequency");
      if (!base || *base == 0) base = proc_files_.ReadNumber(dir + "/cpuinfo_max_freq");
      if (base && *base != 0) return static_cast<double>(*cur) / static_cast<double>(*base) * 100.0;
      return -1.0;
    }
    // No cpufreq: "cpu MHz" is both the current and the maximum clock.
    if (!cpuinfo_mhz) {
      auto cpuinfo = proc_files_.Read(paths::SysPath("/proc/cpuinfo"));
      cpuinfo_mhz = cpuinfo ? ParseCpuinfoMhz(*cpuinfo) : std::vector<std::optional<double>>();
    }
    if (i < cpuinfo_mhz->size() && (*cpuinfo_mhz)[i]) return 100.0;
    return -1.0;
  }

  TickClock clock_;
  unsigned cores_ = 0;
  std::optional<CpuTimes> previous_;
  std::optional<CpuTimes> current_;
  double available_mb_ = -1.0;
  std::vector<double> core_performance_;
  std::optional<uint32_t> memory_clock_mhz_;
  // Kept open between reports; used from the report's thread only (the
  // clock-speed task on a worker reads its files itself).
  OpenFiles proc_files_;
  OpenFiles net_files_;
};

}  // namespace

std::unique_ptr<CounterBackend> CreateCounterBackend(TickClock clock) {
  return std::make_unique<ProcSysBackend>(std::move(clock));
}

}  // namespace vantrel::agent
