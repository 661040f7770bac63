// TXSocket's hardware readers. Each is guarded: only a failed allocation can
// raise inside one, and that becomes a log line and a failure result.
#include <string>

#include "agent/hwclient/hardware_client.h"
#include "agent/protocol/client_message.h"
#include "common/diag_log.h"

namespace vantrel::agent {
namespace {

// The six sensor readers share one log text.
constexpr wchar_t kSensorErrorText[] = L"Get_CPU_Temprature error.";

void LogReaderError(const wchar_t* reader, const wchar_t* text) {
  try {
    Log(kLogError, std::wstring(L"TXSocket::") + reader, text);
  } catch (...) {
  }
}

bool ReadSensor(uint32_t sensor_id, int32_t& value, const wchar_t* reader, const wchar_t* error_text) {
  try {
    const std::optional<uint16_t> reading = SensorValue(QueryGamingSysInfo(SensorInput(sensor_id)));
    if (!reading) return false;
    value = *reading;
    return true;
  } catch (...) {
    LogReaderError(reader, error_text);
    return false;
  }
}

bool ReadGpuValue(int32_t (*query)(uint32_t), int32_t& value, int32_t index, const wchar_t* reader,
                  const wchar_t* error_text) {
  try {
    // A failed transaction is reported as the value -1, not as a failed read.
    value = query(static_cast<uint32_t>(index));
    return true;
  } catch (...) {
    LogReaderError(reader, error_text);
    return false;
  }
}

bool ValidGpuIndex(int32_t index) { return index >= 0 && index < static_cast<int32_t>(kGpuFanSensors.size()); }

}  // namespace

bool TXSocket::Get_CPU_Temprature(int32_t& value) {
  return ReadSensor(kSensorCpuTemperature, value, L"Get_CPU_Temprature", kSensorErrorText);
}

bool TXSocket::Get_System_Temprature(int32_t& value) {
  return ReadSensor(kSensorSystemTemperature, value, L"Get_System_Temprature", kSensorErrorText);
}

bool TXSocket::Get_CPU_FanSpeed(int32_t& value) {
  return ReadSensor(kSensorCpuFan, value, L"Get_CPU_FanSpeed", kSensorErrorText);
}

// The firmware has no sensor of its own for system fan 1; it reads the CPU fan.
bool TXSocket::Get_SYS1_FanSpeed(int32_t& value) {
  return ReadSensor(kSensorCpuFan, value, L"Get_SYS1_FanSpeed", kSensorErrorText);
}

bool TXSocket::Get_SYS2_FanSpeed(int32_t& value) {
  return ReadSensor(kSensorSystemFan2, value, L"Get_SYS2_FanSpeed", kSensorErrorText);
}

bool TXSocket::Get_GPU_FanSpeed(int32_t& value, int32_t index) {
  if (!ValidGpuIndex(index)) return false;
  return ReadSensor(kGpuFanSensors[static_cast<size_t>(index)], value, L"Get_GPU_FanSpeed", kSensorErrorText);
}

bool TXSocket::Get_GPU_Temprature(int32_t& value, int32_t index) {
  if (!ValidGpuIndex(index)) return false;
  return ReadSensor(kGpuTemperatureSensors[static_cast<size_t>(index)], value, L"Get_GPU_Temprature",
                    L"Get_GPU_Temprature error.");
}

int32_t TXSocket::Get_GPU_Idle_State() {
  try {
    return QueryGpuIdleState();
  } catch (...) {
    LogReaderError(L"Get_GPU_Idle_State", L"Get_GPU_Idle_State error.");
    return 0;
  }
}

bool TXSocket::Get_GPU_Usage(int32_t& value, int32_t index) {
  return ReadGpuValue(QueryGpuUsage, value, index, L"Get_GPU_Usage", L"Get_GPU_Usage error.");
}

bool TXSocket::Get_GPU_Frequency(int32_t& value, int32_t index) {
  return ReadGpuValue(QueryGpuFrequency, value, index, L"Get_GPU_Frequency", L"Get_GPU_Frequency error.");
}

bool TXSocket::Get_GPU_Max_Frequency(int32_t& value, int32_t index) {
  return ReadGpuValue(QueryGpuMaxFrequency, value, index, L"Get_GPU_Max_Frequency", L"Get_GPU_Max_Frequency error.");
}

}  // namespace vantrel::agent
