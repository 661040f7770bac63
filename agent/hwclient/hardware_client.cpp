#include "agent/hwclient/hardware_client.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/fw_encoding.h"
#include "common/hardware_commands.h"
#include "common/names.h"
#include "common/pipe_transport.h"

namespace vantrel::agent {
namespace {

using pipe::PipeArg;
using pipe::PipeClient;

constexpr uint32_t kReplyValueOffset = 5;  // count byte, then the first argument's length

// Connect, send, and read a reply of exactly `reply_size` bytes: a value is
// only decoded from a reply of the expected shape.
bool HardwareTransaction(uint16_t command, std::span<const PipeArg> args, uint8_t* reply, uint32_t reply_size,
                         std::chrono::steady_clock::time_point deadline) {
  PipeClient client(names::Instance(names::kHardwarePipe));
  client.SetDeadline(deadline);
  if (client.Connect() != 0) return false;
  if (pipe::send_pipe_message(client, command, args) != 0) return false;
  std::vector<uint8_t> message;
  if (client.ReadMessage(&message) != 0 || message.size() != reply_size) return false;
  std::memcpy(reply, message.data(), reply_size);
  return true;
}

bool HardwareTransaction(uint16_t command, std::span<const PipeArg> args, uint8_t* reply, uint32_t reply_size) {
  return HardwareTransaction(command, args, reply, reply_size,
                             std::chrono::steady_clock::now() + kServiceTransactionTimeout);
}

// A firmware Get: a 32-bit input, a 64-bit answer; nullopt when not answered
// or answered with the failure value.
std::optional<uint64_t> FirmwareGet(uint16_t command, uint32_t input, std::chrono::steady_clock::time_point deadline) {
  const std::vector<uint8_t> arg = pipe::U32Bytes(input);
  const PipeArg args[] = {{static_cast<uint32_t>(arg.size()), arg.data()}};
  uint8_t reply[13] = {};
  if (!HardwareTransaction(command, args, reply, sizeof(reply), deadline)) return std::nullopt;
  const uint64_t value = pipe::ReadU64Le(reply + kReplyValueOffset);
  if (value == kSysInfoFailure) return std::nullopt;
  return value;
}

int32_t GpuQuery(uint16_t command, uint32_t index) {
  const std::vector<uint8_t> arg = pipe::U32Bytes(index);
  const PipeArg args[] = {{static_cast<uint32_t>(arg.size()), arg.data()}};
  uint8_t reply[9] = {};
  if (!HardwareTransaction(command, args, reply, sizeof(reply))) return -1;
  return static_cast<int32_t>(pipe::ReadU32Le(reply + kReplyValueOffset));
}

uint32_t U32At(std::span<const uint8_t> reply, size_t offset) {
  uint8_t bytes[4] = {};
  if (offset < reply.size()) {
    std::memcpy(bytes, reply.data() + offset, std::min<size_t>(4, reply.size() - offset));
  }
  return pipe::ReadU32Le(bytes);
}

}  // namespace

uint64_t QueryGamingSysInfo(uint32_t input) {
  const std::vector<uint8_t> arg = pipe::U32Bytes(input);
  const PipeArg args[] = {{static_cast<uint32_t>(arg.size()), arg.data()}};
  uint8_t reply[13] = {};
  if (!HardwareTransaction(velmont::kSvcCmdWMIGetGamingSystemInformation, args, reply, sizeof(reply))) {
    return kSysInfoFailure;
  }
  return pipe::ReadU64Le(reply + kReplyValueOffset);
}

int32_t QueryGpuIdleState() {
  uint8_t reply[9] = {};
  if (!HardwareTransaction(velmont::kSvcCmdGPUGetIdleState, {}, reply, sizeof(reply))) return -1;
  return static_cast<int32_t>(pipe::ReadU32Le(reply + kReplyValueOffset));
}

int32_t QueryGpuFrequency(uint32_t index) { return GpuQuery(velmont::kSvcCmdGPUGetFrequency, index); }
int32_t QueryGpuMaxFrequency(uint32_t index) { return GpuQuery(velmont::kSvcCmdGPUGetMaxFrequency, index); }
int32_t QueryGpuUsage(uint32_t index) { return GpuQuery(velmont::kSvcCmdGPUGetUsage, index); }

std::optional<MachineControl> QueryMachineControl() {
  if (!LinuxFirmwareBackendInUse()) return std::nullopt;
  // One budget for the whole sequence: a service that stalls midway costs
  // the report no more than a single transaction would.
  const auto deadline = std::chrono::steady_clock::now() + kServiceTransactionTimeout;
  MachineControl out;
  const auto profile =
      FirmwareGet(velmont::kSvcCmdWMIGetGamingProfileConfiguration, fwcode::kProfileGetCurrent, deadline);
  if (profile && *profile <= 0xFF) out.profile = fwcode::ProfileName(static_cast<uint8_t>(*profile));
  const auto fans = FirmwareGet(velmont::kSvcCmdWMIGetGamingFanGroupBehavior, 0, deadline);
  for (uint32_t fan = 1; fans && fan < 64; ++fan) {
    if ((*fans & (uint64_t{1} << fan)) == 0) continue;
    const auto mode = FirmwareGet(velmont::kSvcCmdWMIGetGamingFanGroupBehavior, fan, deadline);
    const auto speed = FirmwareGet(velmont::kSvcCmdWMIGetGamingFanGroupSpeed, fan, deadline);
    if (!mode || !speed) continue;
    out.fans.push_back({static_cast<uint8_t>(fan), std::string(fwcode::FanModeName(*mode)),
                        fwcode::DecodeFanReading(*speed).percent});
  }
  if (!profile && out.fans.empty()) return std::nullopt;
  return out;
}

LightingStatus DecodeLightingReply(std::span<const uint8_t> reply) {
  using namespace agentwire;

  LightingStatus status;
  if (reply.size() > kLightingDeviceOffset) {
    std::memcpy(status.device_record.data(), reply.data() + kLightingDeviceOffset,
                std::min(kLightingDeviceRecordSize, reply.size() - kLightingDeviceOffset));
  }
  status.argument3 = U32At(reply, kLightingArgument3Offset);
  status.argument5 = U32At(reply, kLightingArgument5Offset);
  status.brightness = U32At(reply, kLightingBrightnessOffset);

  const uint32_t count = U32At(reply, kLightingCountOffset);
  if (count >= 1 && reply.size() > kLightingRecordsOffset) {
    // At most 30 records, and only whole records the reply actually holds.
    const size_t held = (reply.size() - kLightingRecordsOffset) / kLightingRecordSize;
    const size_t records = std::min<size_t>({count, kLightingMaxRecords, held});
    std::memcpy(status.records.data(), reply.data() + kLightingRecordsOffset, records * kLightingRecordSize);
    status.record_count = static_cast<uint32_t>(records);
  }
  return status;
}

bool QueryLightingService(LightingStatus& status) {
  PipeClient client(names::Instance(names::kLightingPipe));
  client.SetDeadline(std::chrono::steady_clock::now() + kServiceTransactionTimeout);
  if (client.Connect() != 0) return false;
  const std::vector<uint8_t> arg = pipe::U32Bytes(agentwire::kLightingStatusArgument);
  const PipeArg args[] = {{static_cast<uint32_t>(arg.size()), arg.data()}};
  if (pipe::send_pipe_message(client, agentwire::kLightingStatusCommand, args) != 0) return false;
  std::vector<uint8_t> reply;
  // A reply longer than the capacity is refused, as an overflowing read would be.
  if (client.ReadMessage(&reply) != 0 || reply.empty() || reply.size() > kLightingReplyCapacity) return false;
  status = DecodeLightingReply(reply);
  return true;
}

}  // namespace vantrel::agent
