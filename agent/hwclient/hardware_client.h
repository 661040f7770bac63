// The agent's requests to the hardware service (temperatures, fan speeds, the
// capability word, GPU values) and to the outside lighting service. Every
// request is one transaction on a fresh pipe connection, so callers may run
// them in parallel.
#pragma once
#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/agent_wire.h"

namespace vantrel::agent {

// One transaction with the hardware or the lighting service, connect to
// reply, takes at most this long; past it the request fails as if the service
// were absent. A hung service so costs a report or a notification this much.
inline constexpr std::chrono::milliseconds kServiceTransactionTimeout{1000};

// Transport failure of QueryGamingSysInfo: its status byte (0xFF) is non-zero.
inline constexpr uint64_t kSysInfoFailure = 0xFFFFFFFFull;
inline constexpr uint32_t kSysInfoCapability = 0;

// Gaming-system-information input of a one-sensor read.
constexpr uint32_t SensorInput(uint32_t sensor_id) { return (sensor_id << 8) | 0x01; }
// The sensor value when the status byte is 0.
constexpr std::optional<uint16_t> SensorValue(uint64_t output) {
  if ((output & 0xFF) != 0) return std::nullopt;
  return static_cast<uint16_t>((output >> 8) & 0xFFFF);
}

inline constexpr uint32_t kSensorCpuTemperature = 0x01;
inline constexpr uint32_t kSensorCpuFan = 0x02;  // also read as system fan 1
inline constexpr uint32_t kSensorSystemTemperature = 0x03;
inline constexpr uint32_t kSensorSystemFan2 = 0x08;
inline constexpr std::array<uint32_t, 4> kGpuFanSensors = {6, 9, 18, 20};
inline constexpr std::array<uint32_t, 4> kGpuTemperatureSensors = {10, 11, 19, 21};

// Hardware service pipe (names::Instance(kHardwarePipe)). Failure values:
// kSysInfoFailure, and -1 for the GPU queries.
uint64_t QueryGamingSysInfo(uint32_t input);
int32_t QueryGpuIdleState();
int32_t QueryGpuFrequency(uint32_t index);
int32_t QueryGpuMaxFrequency(uint32_t index);
int32_t QueryGpuUsage(uint32_t index);

// What the "linux" firmware backend says of the machine's control, in the
// words of common/fw_encoding.h: the platform profile's kernel name (empty
// when the machine has none) and each steerable fan's mode and duty.
struct MachineControl {
  struct Fan {
    uint8_t number = 0;
    std::string mode;  // "auto", "full", "manual"
    uint8_t percent = 0;
  };
  std::string profile;
  std::vector<Fan> fans;
};

// Asked only where the hardware service publishes that it runs the "linux"
// backend (Linux): other firmware reads these words its own way. All of it
// within one transaction time; nullopt when another backend runs or the
// service does not answer.
std::optional<MachineControl> QueryMachineControl();
// Whether the hardware service runs the "linux" firmware backend (Windows: never).
bool LinuxFirmwareBackendInUse();

using agentwire::kLightingDeviceRecordSize;
using agentwire::kLightingMaxRecords;
using agentwire::kLightingRecordSize;
using agentwire::kLightingReplyCapacity;

// What the lighting service reports. Only the device record and the
// brightness value are used (by the event relay); the rest is passed on as read.
struct LightingStatus {
  std::array<uint8_t, kLightingDeviceRecordSize> device_record{};
  uint32_t argument3 = 0;   // reply offset 67
  uint32_t argument5 = 0;   // reply offset 83
  uint32_t brightness = 0;  // reply offset 91
  uint32_t record_count = 0;  // records copied (at most kLightingMaxRecords)
  std::array<uint8_t, kLightingMaxRecords * kLightingRecordSize> records{};
};

// Reads the fixed offsets of a lighting reply, each only as far as the reply
// reaches; fields beyond its end stay zero.
LightingStatus DecodeLightingReply(std::span<const uint8_t> reply);

// Command 1 with the argument 1 on the lighting service's pipe. True when a
// reply was read; `status` is then replaced, otherwise left untouched.
bool QueryLightingService(LightingStatus& status);

}  // namespace vantrel::agent
