// GET_MONITOR_DATA: one snapshot of every metric as the "data" object. The
// hardware readers run as parallel tasks; the counters come from InitConfig.
#pragma once
#include <json/json.h>

#include <cstdint>
#include <functional>
#include <optional>

#include "agent/hwclient/hardware_client.h"
#include "agent/metrics/init_config.h"
#include "common/registry.h"

namespace vantrel::agent {

class TXSocket;

// The hardware-service readers the report calls (TXSocket's in the program,
// scripted ones in tests). Each must be safe to run on a worker thread.
struct HardwareReaders {
  std::function<int32_t()> gpu_idle_state;
  std::function<bool(int32_t&)> cpu_temperature;
  std::function<bool(int32_t&)> system_temperature;
  std::function<bool(int32_t&)> cpu_fan;
  std::function<bool(int32_t&)> sys1_fan;
  std::function<bool(int32_t&)> sys2_fan;
  std::function<bool(int32_t&, int32_t)> gpu_fan;
  std::function<bool(int32_t&, int32_t)> gpu_temperature;
  std::function<bool(int32_t&, int32_t)> gpu_usage;
  std::function<bool(int32_t&, int32_t)> gpu_frequency;
  std::function<bool(int32_t&, int32_t)> gpu_max_frequency;
  // Profile and fan modes where the firmware backend tells them (empty: not asked).
  std::function<std::optional<MachineControl>()> machine_control;
};
const HardwareReaders& TxSocketReaders();

// The process's gpu_fan2_enabled switch: reads SupportGPUFan2 under the
// FanControl key (repairing a value of the wrong type to DWORD 0) and turns
// the switch on when it is 1. It never turns off while the process runs.
bool RefreshGpuFan2Enabled(reg::Registry& registry);
bool GpuFan2Enabled();
void ResetGpuFan2EnabledForTesting();

// The "data" object. `counters` null (not created yet, or torn down) reads as
// counters that are unavailable. Throws only what the steps throw; every task
// it started has finished when it returns or throws.
Json::Value CollectMonitorData(InitConfig* counters, const HardwareReaders& readers, bool gpu_fan2_enabled);

// The GET_MONITOR_DATA handler installed into the request dispatch: fills
// request.response ("data", "result"); the dispatch makes it the reply.
void GetMonitorDataReport(TXSocket& request);

// One processing pass's reports. While a round lives, the GET_MONITOR_DATA
// requests handled on its thread are answered from the round's first
// collection: a pass then costs one collection however many clients ask, so
// clients (or a stalled hardware service) cannot make a pass, and with it
// every other client's reply, as long as their number of reports. The values
// describe the time since the previous pass, as a single client's do; a second
// collection a moment after the first would only measure that moment.
class ReportRound {
 public:
  ReportRound();
  ~ReportRound();
  ReportRound(const ReportRound&) = delete;
  ReportRound& operator=(const ReportRound&) = delete;

 private:
  friend void GetMonitorDataReport(TXSocket& request);
  ReportRound* outer_;
  std::optional<Json::Value> data_;  // a failed collection is not kept
};

// Installs GetMonitorDataReport as the dispatch's handler.
void InstallMonitorDataReport();

}  // namespace vantrel::agent
