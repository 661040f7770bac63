#include "agent/report/monitor_report.h"

#include <atomic>
#include <optional>
#include <thread>

#include "agent/protocol/client_message.h"
#include "agent/report/task_pool.h"
#include "common/win32_errors.h"

namespace vantrel::agent {
namespace {

std::atomic<bool> g_gpu_fan2_enabled{false};

// One reader task: its own result slot, filled on the worker thread.
struct Reading {
  bool ok = false;
  int32_t value = -1;
};

using ReadingTask = TaskResult<Reading>;

// The readers outlive the group, so the tasks refer to them.
ReadingTask StartRead(TaskGroup& tasks, const std::function<bool(int32_t&)>& reader) {
  return tasks.Start([&reader] {
    Reading r;
    r.ok = reader(r.value);
    return r;
  });
}

ReadingTask StartGpuRead(TaskGroup& tasks, const std::function<bool(int32_t&, int32_t)>& reader, int32_t index) {
  return tasks.Start([&reader, index] {
    Reading r;
    r.ok = reader(r.value, index);
    return r;
  });
}

void PutIfRead(Json::Value& data, const char* key, const ReadingTask& task) {
  const Reading& r = task.get();
  if (r.ok) data[key] = Json::Value(r.value);
}

// PROFILE, and FAN<n>_MODE and FAN<n>_DUTY for each fan, only as far as known.
void PutMachineControl(Json::Value& data, const std::optional<MachineControl>& control) {
  if (!control) return;
  if (!control->profile.empty()) data["PROFILE"] = control->profile;
  for (const MachineControl::Fan& fan : control->fans) {
    const std::string prefix = "FAN" + std::to_string(fan.number);
    data[prefix + "_MODE"] = fan.mode;
    data[prefix + "_DUTY"] = Json::Value(fan.percent);
  }
}

HardwareReaders MakeTxSocketReaders() {
  HardwareReaders r;
  r.gpu_idle_state = &TXSocket::Get_GPU_Idle_State;
  r.cpu_temperature = &TXSocket::Get_CPU_Temprature;
  r.system_temperature = &TXSocket::Get_System_Temprature;
  r.cpu_fan = &TXSocket::Get_CPU_FanSpeed;
  r.sys1_fan = &TXSocket::Get_SYS1_FanSpeed;
  r.sys2_fan = &TXSocket::Get_SYS2_FanSpeed;
  r.gpu_fan = &TXSocket::Get_GPU_FanSpeed;
  r.gpu_temperature = &TXSocket::Get_GPU_Temprature;
  r.gpu_usage = &TXSocket::Get_GPU_Usage;
  r.gpu_frequency = &TXSocket::Get_GPU_Frequency;
  r.gpu_max_frequency = &TXSocket::Get_GPU_Max_Frequency;
  r.machine_control = &QueryMachineControl;
  return r;
}

}  // namespace

const HardwareReaders& TxSocketReaders() {
  static const HardwareReaders readers = MakeTxSocketReaders();  // built once, not once a report
  return readers;
}

bool RefreshGpuFan2Enabled(reg::Registry& registry) {
  using namespace win32;
  const reg::Root hklm = reg::Root::kLocalMachine;
  uint32_t type = 0, size = 0;
  if (registry.GetValue(hklm, reg::kFanControlKey, L"SupportGPUFan2", kRrfRtAny, &type, nullptr, &size) !=
      kErrorSuccess) {
    return g_gpu_fan2_enabled;  // absent: the switch stays as it is
  }
  uint32_t value = 0;
  size = sizeof(value);
  if (registry.GetValue(hklm, reg::kFanControlKey, L"SupportGPUFan2", kRrfRtRegDword, &type, &value, &size) !=
      kErrorSuccess) {
    // Another type: repaired to DWORD 0.
    if (registry.OpenKey(hklm, reg::kFanControlKey) != kErrorSuccess &&
        registry.CreateKey(hklm, reg::kFanControlKey) != kErrorSuccess) {
      return g_gpu_fan2_enabled;
    }
    uint32_t zero = 0;
    if (registry.SetValue(hklm, reg::kFanControlKey, L"SupportGPUFan2", kRegDword, &zero, sizeof(zero)) !=
        kErrorSuccess) {
      return g_gpu_fan2_enabled;
    }
    value = 0;
  }
  if (value == 1) g_gpu_fan2_enabled = true;
  return g_gpu_fan2_enabled;
}

bool GpuFan2Enabled() { return g_gpu_fan2_enabled; }
void ResetGpuFan2EnabledForTesting() { g_gpu_fan2_enabled = false; }

Json::Value CollectMonitorData(InitConfig* counters, const HardwareReaders& readers, bool gpu_fan2_enabled) {
  Json::Value data(Json::objectValue);
  // Declared first so it is destroyed last: every task is waited for on any exit.
  TaskGroup tasks;

  // The tasks start in this order and run at once, each on its own pipe connection.
  TaskResult<int32_t> idle_task = tasks.Start([&readers] { return readers.gpu_idle_state(); });
  ReadingTask cpu_temperature = StartRead(tasks, readers.cpu_temperature);
  ReadingTask system_temperature = StartRead(tasks, readers.system_temperature);
  ReadingTask cpu_fan = StartRead(tasks, readers.cpu_fan);
  ReadingTask sys1_fan = StartRead(tasks, readers.sys1_fan);
  // System fan 2 is read on every report although no key carries it.
  ReadingTask sys2_fan = StartRead(tasks, readers.sys2_fan);
  TaskResult<uint32_t> max_clock =
      tasks.Start([counters]() -> uint32_t { return counters ? counters->GetMaxClockSpeed() : 0; });
  // The fans are read whatever the idle state says, so they need not wait for
  // it: with a hung hardware service the report then waits one transaction
  // time-out, not two in a row.
  ReadingTask gpu_fan1 = StartGpuRead(tasks, readers.gpu_fan, 0);
  std::optional<ReadingTask> gpu_fan2;
  if (gpu_fan2_enabled) gpu_fan2 = StartGpuRead(tasks, readers.gpu_fan, 1);

  std::optional<TaskResult<std::optional<MachineControl>>> control;
  if (readers.machine_control) control = tasks.Start(readers.machine_control);

  const int32_t idle_state = idle_task.get();
  std::optional<ReadingTask> gpu_temperature, gpu_frequency, gpu_max_frequency, gpu_usage;
  if (idle_state == 1) {
    gpu_temperature = StartGpuRead(tasks, readers.gpu_temperature, 0);
    gpu_frequency = StartGpuRead(tasks, readers.gpu_frequency, 0);
    gpu_max_frequency = StartGpuRead(tasks, readers.gpu_max_frequency, 0);
    gpu_usage = StartGpuRead(tasks, readers.gpu_usage, 0);
  }

  double eu = 0, ed = 0, wu = 0, wd = 0;
  if (counters && counters->network_ready() && counters->GetNetworkRates(&eu, &ed, &wu, &wd)) {
    data["ETHERNET_UPLOAD"] = eu;
    data["ETHERNET_DOWNLOAD"] = ed;
    data["WIFI_UPLOAD"] = wu;
    data["WIFI_DOWNLOAD"] = wd;
  } else {
    for (const char* key : {"ETHERNET_UPLOAD", "ETHERNET_DOWNLOAD", "WIFI_UPLOAD", "WIFI_DOWNLOAD"})
      data[key] = Json::Value(0);
  }

  if (counters && counters->pdh_ready() && counters->CollectSample()) {
    const uint32_t speed = max_clock.get();
    data["CPU_FREQUENCY"] = counters->CpuFrequency(speed);
    data["CPU_MAX_FREQUENCY"] = Json::Value(5000);
    data["CPU_USAGE"] = counters->GetProcessorTime();
    data["RAM_USAGE"] = counters->RamUsage();
    data["RAM_TOTAL"] = counters->GetTotalMemoryMB();
    data["RAM_FREQUENCY"] = static_cast<double>(counters->GetMemoryClockSpeed());
    // Read once: on Linux each query reads a sysfs file.
    static const unsigned count = std::thread::hardware_concurrency();
    data["CPU_CORE_AMOUNT"] = Json::Value(count);
    Json::Value cores(Json::arrayValue);
    for (unsigned i = 0; i < count; ++i) cores.append(counters->CoreFrequency(static_cast<int>(i), speed));
    data["CPU_CORE_FREQUENCY"] = cores;
  } else {
    data["CPU_FREQUENCY"] = Json::Value(0);
    data["CPU_USAGE"] = Json::Value(0);
    data["RAM_USAGE"] = Json::Value(0);
  }

  // Every reader is needed from here on: one wait for all of them instead of
  // a wakeup per task.
  tasks.WaitAll();
  PutIfRead(data, "CPU_TEMPERATURE", cpu_temperature);
  PutIfRead(data, "SYS1_TEMPERATURE", system_temperature);
  PutIfRead(data, "CPU_FANSPEED", cpu_fan);
  PutIfRead(data, "SYS1_FANSPEED", sys1_fan);
  sys2_fan.wait();
  if (control) PutMachineControl(data, control->get());

  if (idle_state == 1) {
    data["GPU1_IDLE_STATUS"] = Json::Value(1);
    PutIfRead(data, "GPU1_FANSPEED", gpu_fan1);
    if (gpu_fan2) PutIfRead(data, "GPU2_FANSPEED", *gpu_fan2);
    PutIfRead(data, "GPU1_TEMPERATURE", *gpu_temperature);
    PutIfRead(data, "GPU1_USAGE", *gpu_usage);
    PutIfRead(data, "GPU1_FREQUENCY", *gpu_frequency);
    PutIfRead(data, "GPU1_MAX_FREQUENCY", *gpu_max_frequency);
  } else {
    PutIfRead(data, "GPU1_FANSPEED", gpu_fan1);
    if (gpu_fan2) PutIfRead(data, "GPU2_FANSPEED", *gpu_fan2);
    for (const char* key : {"GPU1_IDLE_STATUS", "GPU1_FREQUENCY", "GPU1_MAX_FREQUENCY", "GPU1_TEMPERATURE",
                            "GPU1_USAGE"})
      data[key] = Json::Value(0);
  }
  // The clock-speed task is waited for also when the counters were unavailable.
  max_clock.wait();
  return data;
}

namespace {
thread_local ReportRound* t_round = nullptr;  // the innermost round open on this thread
}  // namespace

ReportRound::ReportRound() : outer_(t_round) { t_round = this; }
ReportRound::~ReportRound() { t_round = outer_; }

void GetMonitorDataReport(TXSocket& request) {
  try {
    Json::Value data;
    if (t_round != nullptr && t_round->data_) {
      data = *t_round->data_;
    } else {
      const bool fan2 = RefreshGpuFan2Enabled(reg::SystemRegistry());
      // The lease keeps InitConfig alive for the whole report, tasks included.
      InitConfigHolder::Lease counters = ProcessInitConfig().Acquire();
      data = CollectMonitorData(counters.get(), TxSocketReaders(), fan2);
      if (t_round != nullptr) t_round->data_ = data;
    }
    request.response["result"] = "0";
    request.response["data"] = std::move(data);
  } catch (...) {
    request.response["result"] = "1";
  }
}

void InstallMonitorDataReport() { SetMonitorDataHandler(&GetMonitorDataReport); }

}  // namespace vantrel::agent
