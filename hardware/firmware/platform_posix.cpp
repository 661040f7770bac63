// The firmware on Linux. There is no firmware WMI class here, so a backend named
// by "FirmwareBackend" in the platform configuration file answers the method
// calls (the registry store is not asked: every local account writes it):
//   "none"  (default, and for any unknown name): every method fails, as on a
//           machine without the firmware;
//   "hwmon": GetGamingSysInfo answers sensor reads from /sys/class/hwmon, every
//            other method fails;
//   "linux": "hwmon"'s sensor reads, and the control methods served from the
//            kernel's standard interfaces (linux_control.h);
//   "sim":   a simulated controller whose Get methods return what their Set
//            counterpart stored (kept in the registry store, so it survives
//            restarts) and whose sensors move over time.
// The backend is looked up on every call, so an edit of the file needs no restart.
//
// The 30 ms pause after a successful call bounds the rate at which a client
// can drive real firmware, so "hwmon" and "linux" keep it. The simulated controller has
// no hardware to protect and answers at once: with the pause, every monitor
// report would cost at least 30 ms of waiting that says nothing about the
// agent.
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "common/paths.h"
#include "common/registry.h"
#include "common/text.h"
#include "common/win32_errors.h"
#include "hardware/firmware/commands.h"
#include "hardware/firmware/platform.h"
#include "hardware/firmware/linux_control.h"
#include "hardware/firmware/linux_io.h"
#include "hardware/platform_config.h"

namespace velmont::firmware {
namespace {

namespace fs = std::filesystem;
using vantrel::reg::Root;

// The sim's state: one REG_QWORD per Set/Get pair under this key.
constexpr wchar_t kSimKey[] = L"SOFTWARE\\OEM\\VantrelSysMonitorService\\Platform\\FirmwareSim";
// The sim's capability word (REG_DWORD, 0 when missing).
constexpr wchar_t kSimCapabilityValue[] = L"Capability";

using Backend = vantrel::hw::FirmwareBackend;

Backend CurrentBackend() { return vantrel::hw::ReadPlatformConfig().firmware_backend; }

// The backend in use, published for clients (vantrelctl labels simulated
// readings) as REG_SZ Platform\FirmwareBackendInUse whenever it changes.
void PublishBackend(Backend backend) {
  static std::atomic<int> published{-1};
  if (published.exchange(static_cast<int>(backend)) == static_cast<int>(backend)) return;
  static const wchar_t* const kNames[] = {L"none", L"hwmon", L"sim", L"linux"};
  vantrel::reg::WriteString(vantrel::reg::SystemRegistry(), Root::kLocalMachine, vantrel::reg::kPlatformKey,
                            L"FirmwareBackendInUse", kNames[static_cast<int>(backend)]);
}

// ---- sysfs reading ----

std::optional<std::string> ReadFirstLine(const fs::path& p) {
  std::ifstream in(p);
  if (!in) return std::nullopt;
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

std::optional<int64_t> ReadInteger(const fs::path& p) {
  auto line = ReadFirstLine(p);
  if (!line || line->empty()) return std::nullopt;
  size_t i = 0;
  bool negative = false;
  if ((*line)[0] == '-') {
    negative = true;
    i = 1;
  }
  if (i == line->size()) return std::nullopt;
  int64_t v = 0;
  for (; i < line->size(); ++i) {
    char c = (*line)[i];
    if (c < '0' || c > '9') return std::nullopt;
    if (v > (INT64_MAX - 9) / 10) return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return negative ? -v : v;
}

// Trailing number of a name such as "hwmon12" or "fan3_input"; -1 when none.
long NumberAfter(const std::string& name, const std::string& prefix) {
  if (name.compare(0, prefix.size(), prefix) != 0) return -1;
  size_t i = prefix.size();
  if (i == name.size() || name[i] < '0' || name[i] > '9') return -1;
  long v = 0;
  while (i < name.size() && name[i] >= '0' && name[i] <= '9' && v < 1000000) v = v * 10 + (name[i++] - '0');
  return v;
}

struct Hwmon {
  fs::path dir;
  std::string name;
  std::vector<fs::path> fans;  // fanN_input in N order
};

bool NameIn(const std::string& name, std::initializer_list<const char*> names) {
  for (const char* n : names) {
    if (name == n) return true;
  }
  return false;
}

const std::initializer_list<const char*> kCpuChips = {"coretemp", "k10temp", "zenpower", "cpu_thermal"};
const std::initializer_list<const char*> kGpuChips = {"nvidia", "amdgpu", "nouveau", "radeon", "i915"};

// hwmonN folders in N order, the order the kernel registered them.
std::vector<Hwmon> ListHwmons() {
  std::map<long, Hwmon> by_number;
  std::error_code ec;
  const fs::path root = vantrel::paths::SysPath("/sys/class/hwmon");
  for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string leaf = it->path().filename().string();
    long n = NumberAfter(leaf, "hwmon");
    if (n < 0) continue;
    Hwmon h;
    h.dir = it->path();
    h.name = ReadFirstLine(h.dir / "name").value_or("");
    std::map<long, fs::path> fans;
    std::error_code ec2;
    for (fs::directory_iterator f(h.dir, ec2), fend; !ec2 && f != fend; f.increment(ec2)) {
      const std::string file = f->path().filename().string();
      long k = NumberAfter(file, "fan");
      if (k >= 0 && file == "fan" + std::to_string(k) + "_input") fans[k] = f->path();
    }
    for (auto& [k, p] : fans) h.fans.push_back(p);
    by_number[n] = std::move(h);
  }
  std::vector<Hwmon> out;
  for (auto& [n, h] : by_number) out.push_back(std::move(h));
  return out;
}

std::optional<int64_t> MilliToUnit(std::optional<int64_t> milli) {
  if (!milli) return std::nullopt;
  return *milli / 1000;
}

std::optional<int64_t> HwmonSensor(uint8_t sensor) {
  const std::vector<Hwmon> hwmons = ListHwmons();
  switch (sensor) {
    case kSensorCpuTemp:
      for (const auto& h : hwmons) {
        if (NameIn(h.name, kCpuChips)) return MilliToUnit(ReadInteger(h.dir / "temp1_input"));
      }
      return std::nullopt;
    case kSensorSystemTemp:
      for (const auto& h : hwmons) {
        if (h.name == "acpitz") return MilliToUnit(ReadInteger(h.dir / "temp1_input"));
      }
      return MilliToUnit(ReadInteger(vantrel::paths::SysPath("/sys/class/thermal/thermal_zone0/temp")));
    case kSensorCpuFan:
    case kSensorSystemFan2: {
      // System fans: those of the first hwmon that has any, GPU boards excluded
      // (their fans are the GPU fan sensors).
      for (const auto& h : hwmons) {
        if (h.fans.empty() || NameIn(h.name, kGpuChips)) continue;
        size_t i = sensor == kSensorCpuFan ? 0 : 1;
        if (i >= h.fans.size()) return std::nullopt;
        return ReadInteger(h.fans[i]);
      }
      return std::nullopt;
    }
    default:
      break;
  }
  const int fan_gpu = GpuFanIndex(sensor);
  const int temp_gpu = GpuTempIndex(sensor);
  const int gpu = fan_gpu >= 0 ? fan_gpu : temp_gpu;
  if (gpu < 0) return std::nullopt;
  int seen = 0;
  for (const auto& h : hwmons) {
    if (!NameIn(h.name, kGpuChips)) continue;
    if (seen++ != gpu) continue;
    if (temp_gpu >= 0) return MilliToUnit(ReadInteger(h.dir / "temp1_input"));
    if (h.fans.empty()) return std::nullopt;
    return ReadInteger(h.fans[0]);
  }
  return std::nullopt;
}

bool IsSysInfo(const FirmwareCommand& row) { return std::wstring_view(row.method) == L"GetGamingSysInfo"; }

std::optional<uint64_t> SysInfo(std::optional<uint64_t> input,
                                const std::function<std::optional<int64_t>(uint8_t)>& sensor,
                                uint16_t capability) {
  const uint64_t word = input.value_or(0);
  const uint8_t function = static_cast<uint8_t>(word & 0xFF);
  if (function == kSysInfoCapability) return CapabilityOutput(capability);
  if (function != kSysInfoReadSensor) return std::nullopt;
  auto value = sensor(static_cast<uint8_t>((word >> 8) & 0xFF));
  return value ? SensorOutput(*value) : kSensorMissing;
}

// ---- sim ----

// The Set method whose stored input a Get method returns, and its value name.
struct SimPair {
  const wchar_t* set_method;
  const wchar_t* get_method;
  const wchar_t* value;
};
constexpr SimPair kSimPairs[] = {
    {L"SetGamingFanBehavior", L"GetGamingFanBehavior", L"GamingFanBehavior"},
    {L"SetGamingFanSpeed", L"GetGamingFanSpeed", L"GamingFanSpeed"},
    {L"SetGamingFanTable", L"GetGamingFanTable", L"GamingFanTable"},
    {L"SetGamingProfile", L"GetGamingProfile", L"GamingProfile"},
    {L"SetGamingMiscSetting", L"GetGamingMiscSetting", L"GamingMiscSetting"},
    {L"SetFunction", L"GetFunction", L"GeFunction"},
};

double Wave(double seconds, double period) { return std::sin(seconds * 2.0 * std::numbers::pi / period); }

std::optional<int64_t> SimSensor(uint8_t sensor) {
  using namespace std::chrono;
  const double t = duration<double>(system_clock::now().time_since_epoch()).count();
  const double cpu = 52.0 + 9.0 * Wave(t, 60.0) + 2.0 * Wave(t, 7.0);
  const double gpu = 48.0 + 7.0 * Wave(t + 20.0, 75.0) + 1.5 * Wave(t, 11.0);
  // Fans follow their temperatures, as a fan curve would.
  const auto fan = [](double temp) { return static_cast<int64_t>(1600.0 + (temp - 40.0) * 90.0); };
  switch (sensor) {
    case kSensorCpuTemp: return static_cast<int64_t>(cpu);
    case kSensorSystemTemp: return static_cast<int64_t>(40.0 + 4.0 * Wave(t, 90.0));
    case kSensorCpuFan: return fan(cpu);
    case kSensorSystemFan2: return fan(cpu) * 9 / 10;
    default: break;
  }
  if (GpuTempIndex(sensor) == 0) return static_cast<int64_t>(gpu);
  if (GpuFanIndex(sensor) == 0) return fan(gpu);
  return std::nullopt;  // one simulated GPU
}

std::optional<uint64_t> SimCall(const FirmwareCommand& row, std::optional<uint64_t> input) {
  auto& registry = vantrel::reg::SystemRegistry();
  if (IsSysInfo(row)) {
    uint16_t capability = static_cast<uint16_t>(
        vantrel::reg::ReadDword(registry, Root::kLocalMachine, kSimKey, kSimCapabilityValue).value_or(0));
    return SysInfo(input, SimSensor, capability);
  }
  const std::wstring_view method = row.method;
  for (const auto& pair : kSimPairs) {
    if (method == pair.set_method) {
      const uint64_t v = input.value_or(0);
      uint32_t rc = registry.SetValue(Root::kLocalMachine, kSimKey, pair.value, vantrel::win32::kRegQword, &v,
                                      sizeof v);
      if (rc != vantrel::win32::kErrorSuccess) return std::nullopt;
      return 0;  // status: done
    }
    if (method == pair.get_method) {
      uint64_t v = 0;
      uint32_t size = sizeof v;
      uint32_t type = 0;
      uint32_t rc = registry.GetValue(Root::kLocalMachine, kSimKey, pair.value, vantrel::win32::kRrfRtRegQword,
                                      &type, &v, &size);
      if (rc == vantrel::win32::kErrorFileNotFound) return 0;  // never set: the controller's default
      if (rc != vantrel::win32::kErrorSuccess || size != sizeof v) return std::nullopt;
      return v;
    }
  }
  return std::nullopt;
}

LinuxFirmware& LinuxControl() {
  static LinuxFirmware control(SystemSysfs(), FanStateFile(), &SystemProfileDaemon());
  return control;
}

}  // namespace

// Whatever the backend is now: a run under "linux" may have left a record.
// The backend is published here too, before the pipe listens, so clients
// know from the first request which words it speaks.
void RestoreFirmwareControl() {
  PublishBackend(CurrentBackend());
  LinuxControl().RestoreFans();
}
void ReleaseFirmwareControl() { LinuxControl().RestoreFansAndClose(); }

std::optional<uint64_t> CallFirmwareMethod(const FirmwareCommand& row, std::optional<uint64_t> input) {
  // The firmware receives its input as decimal text; the backends read it as
  // the firmware would.
  std::optional<uint64_t> in;
  if (input) {
    in = ParseDecimalText(DecimalText(*input));
    if (!in) return std::nullopt;
  }
  std::optional<uint64_t> out;
  const Backend backend = CurrentBackend();
  PublishBackend(backend);
  switch (backend) {
    case Backend::kNone:
      return std::nullopt;
    case Backend::kHwmon:
      if (!IsSysInfo(row)) return std::nullopt;
      out = SysInfo(in, HwmonSensor, 0);
      break;
    case Backend::kSim:
      out = SimCall(row, in);
      break;
    case Backend::kLinux:
      out = IsSysInfo(row) ? SysInfo(in, HwmonSensor, 0) : LinuxControl().Call(row.method, in);
      break;
  }
  if (out) out = FitOutput(row, *out);
  if (out && backend != Backend::kSim) std::this_thread::sleep_for(std::chrono::milliseconds(30));
  return out;
}

std::vector<uint8_t> ReadRawSmbiosTables() {
  std::ifstream in(vantrel::paths::SysPath("/sys/firmware/dmi/tables/DMI"), std::ios::binary);
  if (!in) return {};
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace velmont::firmware
