// The monitor data object: keys, JSON types, absent keys, the GPU block rules,
// the second-fan switch and the task discipline, with scripted readers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "agent/report/monitor_report.h"
#include "common/win32_errors.h"

using namespace vantrel::agent;
using namespace std::chrono_literals;

namespace {

struct FakeCounters : CounterBackend {
  bool pdh = true;
  bool net = true;
  bool InitialPDH() override { return pdh; }
  bool Collect() override { return true; }
  double ProcessorTime() override { return 12.5; }
  double ProcessorPerformance() override { return 112.5; }
  double AvailableMBytes() override { return 4096; }
  double CorePerformance(int i) override { return i == 0 ? -1.0 : 50.0; }
  uint32_t MaxClockSpeed() override { return 2400; }
  uint32_t MemoryClockSpeed() override { return 3200; }
  double TotalMemoryMB() override { return 16384; }
  bool ReadInterfaces(std::vector<InterfaceRow>* rows) override {
    rows->clear();
    return net;
  }
  int64_t NowTicks() override { return ticks += 10000000; }
  int64_t ticks = 0;
};

// Scripted hardware service: counts the calls per reader and the tasks alive.
struct Script {
  int32_t idle = 1;
  bool sensors_ok = true;
  std::chrono::milliseconds delay{0};
  std::mutex m;
  std::map<std::string, int> calls;
  std::atomic<int> running{0};

  template <typename... A>
  bool Enter(const std::string& name) {
    running++;
    {
      std::lock_guard<std::mutex> l(m);
      calls[name]++;
    }
    std::this_thread::sleep_for(delay);
    running--;
    return sensors_ok;
  }
  int Calls(const std::string& name) {
    std::lock_guard<std::mutex> l(m);
    return calls[name];
  }

  HardwareReaders Readers() {
    HardwareReaders r;
    r.gpu_idle_state = [this] {
      Enter("idle");
      return idle;
    };
    auto sensor = [this](std::string name, int32_t v) {
      return [this, name, v](int32_t& out) {
        if (!Enter(name)) return false;
        out = v;
        return true;
      };
    };
    r.cpu_temperature = sensor("cpu_t", 60);
    r.system_temperature = sensor("sys_t", 45);
    r.cpu_fan = sensor("cpu_f", 2100);
    r.sys1_fan = sensor("sys1_f", 2100);
    r.sys2_fan = sensor("sys2_f", 1900);
    auto gpu = [this](std::string name, int32_t base) {
      return [this, name, base](int32_t& out, int32_t index) {
        if (!Enter(name + std::to_string(index))) return false;
        out = base + index;
        return true;
      };
    };
    r.gpu_fan = gpu("gpu_f", 3000);
    r.gpu_temperature = gpu("gpu_t", 70);
    r.gpu_usage = gpu("gpu_u", 30);
    r.gpu_frequency = gpu("gpu_fr", 1500);
    r.gpu_max_frequency = gpu("gpu_mfr", 2100);
    return r;
  }
};

void ExpectReal(const Json::Value& d, const char* key) {
  ASSERT_TRUE(d.isMember(key)) << key;
  EXPECT_EQ(d[key].type(), Json::realValue) << key << " = " << d[key].toStyledString();
}
void ExpectInt(const Json::Value& d, const char* key, int64_t value) {
  ASSERT_TRUE(d.isMember(key)) << key;
  EXPECT_TRUE(d[key].type() == Json::intValue || d[key].type() == Json::uintValue) << key;
  EXPECT_EQ(d[key].asInt64(), value) << key;
}

}  // namespace

TEST(MonitorReport, FullReportKeysAndTypes) {
  auto backend = std::make_unique<FakeCounters>();
  InitConfig counters(std::move(backend));
  Script s;
  Json::Value d = CollectMonitorData(&counters, s.Readers(), true);

  for (const char* k : {"ETHERNET_UPLOAD", "ETHERNET_DOWNLOAD", "WIFI_UPLOAD", "WIFI_DOWNLOAD", "CPU_FREQUENCY",
                        "CPU_USAGE", "RAM_USAGE", "RAM_TOTAL", "RAM_FREQUENCY"})
    ExpectReal(d, k);
  EXPECT_DOUBLE_EQ(d["CPU_FREQUENCY"].asDouble(), 2700.0);
  EXPECT_DOUBLE_EQ(d["RAM_USAGE"].asDouble(), 75.0);
  EXPECT_DOUBLE_EQ(d["RAM_FREQUENCY"].asDouble(), 3200.0);
  ExpectInt(d, "CPU_MAX_FREQUENCY", 5000);
  const unsigned cores = std::thread::hardware_concurrency();
  ExpectInt(d, "CPU_CORE_AMOUNT", cores);
  ASSERT_EQ(d["CPU_CORE_FREQUENCY"].size(), cores);
  EXPECT_EQ(d["CPU_CORE_FREQUENCY"][0].asDouble(), -1.0);  // a failed core read
  for (unsigned i = 1; i < cores; ++i) EXPECT_EQ(d["CPU_CORE_FREQUENCY"][i].asDouble(), 1200.0);
  ExpectInt(d, "CPU_TEMPERATURE", 60);
  ExpectInt(d, "SYS1_TEMPERATURE", 45);
  ExpectInt(d, "CPU_FANSPEED", 2100);
  ExpectInt(d, "SYS1_FANSPEED", 2100);
  ExpectInt(d, "GPU1_IDLE_STATUS", 1);
  ExpectInt(d, "GPU1_FANSPEED", 3000);
  ExpectInt(d, "GPU2_FANSPEED", 3001);
  ExpectInt(d, "GPU1_TEMPERATURE", 70);
  ExpectInt(d, "GPU1_USAGE", 30);
  ExpectInt(d, "GPU1_FREQUENCY", 1500);
  ExpectInt(d, "GPU1_MAX_FREQUENCY", 2100);
  EXPECT_EQ(s.Calls("sys2_f"), 1);
  EXPECT_EQ(d.size(), 23u);
  // The serialised text keeps real and integer apart, also for zero.
  std::string text = d.toStyledString();
  EXPECT_NE(text.find("\"ETHERNET_UPLOAD\" : 0.0"), std::string::npos) << text;
}

TEST(MonitorReport, MachineControlKeysOnlyAsFarAsTheBackendKnowsThem) {
  struct Case {
    const char* name;
    std::optional<MachineControl> control;
    std::map<std::string, std::string> expected;  // key -> value as written
  };
  const std::vector<Case> cases = {
      {"laptop", MachineControl{"balanced", {{1, "manual", 40}, {3, "auto", 100}}},
       {{"PROFILE", "\"balanced\""}, {"FAN1_MODE", "\"manual\""}, {"FAN1_DUTY", "40"},
        {"FAN3_MODE", "\"auto\""}, {"FAN3_DUTY", "100"}}},
      {"fans without a profile", MachineControl{"", {{2, "full", 100}}},
       {{"FAN2_MODE", "\"full\""}, {"FAN2_DUTY", "100"}}},
      {"another backend, or no answer", std::nullopt, {}},
  };
  Json::StreamWriterBuilder compact;
  compact["indentation"] = "";
  for (const Case& c : cases) {
    Script s;
    HardwareReaders readers = s.Readers();
    readers.machine_control = [&c] { return c.control; };
    const Json::Value d = CollectMonitorData(nullptr, readers, false);
    size_t extra = 0;
    for (const std::string& key : d.getMemberNames()) {
      if (key.rfind("FAN", 0) == 0 || key == "PROFILE") ++extra;
    }
    EXPECT_EQ(extra, c.expected.size()) << c.name;
    for (const auto& [key, value] : c.expected) {
      EXPECT_EQ(Json::writeString(compact, d[key]), value) << c.name << ": " << key;
    }
    ExpectInt(d, "CPU_TEMPERATURE", 60);  // the other readers as before
  }
}

TEST(MonitorReport, HardwareServiceDownAndCountersUnavailable) {
  Script s;
  s.idle = -1;
  s.sensors_ok = false;
  Json::Value d = CollectMonitorData(nullptr, s.Readers(), false);
  for (const char* k : {"ETHERNET_UPLOAD", "ETHERNET_DOWNLOAD", "WIFI_UPLOAD", "WIFI_DOWNLOAD", "CPU_FREQUENCY",
                        "CPU_USAGE", "RAM_USAGE", "GPU1_IDLE_STATUS", "GPU1_FREQUENCY", "GPU1_MAX_FREQUENCY",
                        "GPU1_TEMPERATURE", "GPU1_USAGE"})
    ExpectInt(d, k, 0);
  for (const char* k : {"CPU_MAX_FREQUENCY", "RAM_TOTAL", "RAM_FREQUENCY", "CPU_CORE_AMOUNT", "CPU_CORE_FREQUENCY",
                        "CPU_TEMPERATURE", "CPU_FANSPEED", "SYS1_TEMPERATURE", "SYS1_FANSPEED", "GPU1_FANSPEED",
                        "GPU2_FANSPEED"})
    EXPECT_FALSE(d.isMember(k)) << k;
  // No GPU value query is sent unless the idle state is exactly 1.
  for (const char* k : {"gpu_t0", "gpu_u0", "gpu_fr0", "gpu_mfr0", "gpu_f1"}) EXPECT_EQ(s.Calls(k), 0) << k;
  EXPECT_EQ(s.Calls("gpu_f0"), 1);
}

TEST(MonitorReport, IdleStateZeroKeepsFanReadings) {
  FakeCounters* raw = new FakeCounters();
  raw->pdh = false;
  raw->net = false;
  InitConfig counters{std::unique_ptr<CounterBackend>(raw)};
  Script s;
  s.idle = 0;
  Json::Value d = CollectMonitorData(&counters, s.Readers(), true);
  ExpectInt(d, "GPU1_FANSPEED", 3000);
  ExpectInt(d, "GPU2_FANSPEED", 3001);
  ExpectInt(d, "GPU1_TEMPERATURE", 0);
  ExpectInt(d, "CPU_FREQUENCY", 0);
  ExpectInt(d, "ETHERNET_UPLOAD", 0);
  EXPECT_FALSE(d.isMember("CPU_CORE_AMOUNT"));
}

TEST(MonitorReport, ReadersRunInParallelAndAllFinish) {
  InitConfig counters(std::make_unique<FakeCounters>());
  Script s;
  s.delay = 150ms;
  auto start = std::chrono::steady_clock::now();
  Json::Value d = CollectMonitorData(&counters, s.Readers(), true);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(s.running, 0);  // nothing left running behind the report
  // Two rounds (idle state, then the GPU queries), not thirteen readers in a row.
  EXPECT_LT(took, 700ms);
  EXPECT_EQ(d["GPU1_USAGE"].asInt(), 30);
}

namespace {

// Just enough of a registry for the fan switch.
class MapRegistry : public vantrel::reg::Registry {
 public:
  struct Value {
    uint32_t type;
    std::vector<uint8_t> bytes;
  };
  std::map<std::wstring, Value> values;
  bool key_exists = true;
  uint32_t CreateKey(vantrel::reg::Root, const std::wstring&) override {
    key_exists = true;
    return 0;
  }
  uint32_t OpenKey(vantrel::reg::Root, const std::wstring&) override { return key_exists ? 0 : 2; }
  uint32_t GetValue(vantrel::reg::Root, const std::wstring&, const std::wstring& name, uint32_t flags,
                    uint32_t* type, void* data, uint32_t* size) override {
    auto it = values.find(name);
    if (it == values.end()) return vantrel::win32::kErrorFileNotFound;
    if (it->second.type == vantrel::win32::kRegDword && !(flags & vantrel::win32::kRrfRtRegDword))
      return vantrel::win32::kErrorUnsupportedType;
    if (it->second.type != vantrel::win32::kRegDword && flags == vantrel::win32::kRrfRtRegDword)
      return vantrel::win32::kErrorUnsupportedType;
    if (type) *type = it->second.type;
    if (data && *size >= it->second.bytes.size()) memcpy(data, it->second.bytes.data(), it->second.bytes.size());
    if (size) *size = static_cast<uint32_t>(it->second.bytes.size());
    return 0;
  }
  uint32_t SetValue(vantrel::reg::Root, const std::wstring&, const std::wstring& name, uint32_t type,
                    const void* data, uint32_t size) override {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    values[name] = {type, std::vector<uint8_t>(p, p + size)};
    return 0;
  }
  uint32_t DeleteValue(vantrel::reg::Root, const std::wstring&, const std::wstring& name) override {
    return values.erase(name) ? 0 : 2;
  }
  uint32_t DeleteTree(vantrel::reg::Root, const std::wstring&) override { return 0; }
  void Dword(uint32_t v) { SetValue({}, {}, L"SupportGPUFan2", vantrel::win32::kRegDword, &v, 4); }
};

}  // namespace

TEST(MonitorReport, SecondFanSwitchStaysOnAndRepairsBadType) {
  ResetGpuFan2EnabledForTesting();
  MapRegistry r;
  EXPECT_FALSE(RefreshGpuFan2Enabled(r));
  r.Dword(0);
  EXPECT_FALSE(RefreshGpuFan2Enabled(r));
  r.Dword(1);
  EXPECT_TRUE(RefreshGpuFan2Enabled(r));
  r.DeleteValue({}, {}, L"SupportGPUFan2");
  EXPECT_TRUE(RefreshGpuFan2Enabled(r));  // stays on until the agent restarts

  ResetGpuFan2EnabledForTesting();
  r.key_exists = false;
  r.SetValue({}, {}, L"SupportGPUFan2", vantrel::win32::kRegSz, L"1", 4);
  EXPECT_FALSE(RefreshGpuFan2Enabled(r));
  EXPECT_TRUE(r.key_exists);
  EXPECT_EQ(r.values[L"SupportGPUFan2"].type, vantrel::win32::kRegDword);
  EXPECT_EQ(r.values[L"SupportGPUFan2"].bytes, std::vector<uint8_t>(4, 0));
  ResetGpuFan2EnabledForTesting();
}
