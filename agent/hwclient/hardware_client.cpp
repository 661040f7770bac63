#include "agent/hwclient/hardware_client.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/names.h"
#include "common/pipe_transport.h"
#include "hardware/command_processor.h"

namespace vantrel::agent {
namespace {

using pipe::PipeArg;
using pipe::PipeClient;

constexpr uint32_t kReplyValueOffset = 5;  // count byte, then the first argument's length

// Connect, send, and read exactly `reply_size` bytes. A longer reply fails the
// read (more data) and a shorter one is refused, so a value is only decoded
// from a reply of the expected shape.
bool HardwareTransaction(uint16_t command, std::span<const PipeArg> args, uint8_t* reply, uint32_t reply_size) {
  PipeClient client(names::Instance(names::kHardwarePipe));
  client.SetDeadline(std::chrono::steady_clock::now() + kServiceTransactionTimeout);
  if (client.Connect() != 0) return false;
  if (pipe::send_pipe_message(client, command, args) != 0) return false;
  uint32_t read = 0;
  if (client.ReadReply(reply, reply_size, &read) != 0) return false;
  return read == reply_size;
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

LightingStatus DecodeLightingReply(std::span<const uint8_t> reply) {
  constexpr size_t kDeviceOffset = 13;
  constexpr size_t kArgument3Offset = 67;
  constexpr size_t kCountOffset = 75;
  constexpr size_t kArgument5Offset = 83;
  constexpr size_t kBrightnessOffset = 91;
  constexpr size_t kRecordsOffset = 99;

  LightingStatus status;
  if (reply.size() > kDeviceOffset) {
    std::memcpy(status.device_record.data(), reply.data() + kDeviceOffset,
                std::min(kLightingDeviceRecordSize, reply.size() - kDeviceOffset));
  }
  status.argument3 = U32At(reply, kArgument3Offset);
  status.argument5 = U32At(reply, kArgument5Offset);
  status.brightness = U32At(reply, kBrightnessOffset);

  const uint32_t count = U32At(reply, kCountOffset);
  if (count >= 1 && reply.size() > kRecordsOffset) {
    // At most 30 records, and only whole records the reply actually holds.
    const size_t held = (reply.size() - kRecordsOffset) / kLightingRecordSize;
    const size_t records = std::min<size_t>({count, kLightingMaxRecords, held});
    std::memcpy(status.records.data(), reply.data() + kRecordsOffset, records * kLightingRecordSize);
    status.record_count = static_cast<uint32_t>(records);
  }
  return status;
}

bool QueryLightingService(LightingStatus& status) {
  PipeClient client(names::Instance(names::kLightingPipe));
  client.SetDeadline(std::chrono::steady_clock::now() + kServiceTransactionTimeout);
  if (client.Connect() != 0) return false;
  const std::vector<uint8_t> arg = pipe::U32Bytes(1);
  const PipeArg args[] = {{static_cast<uint32_t>(arg.size()), arg.data()}};
  if (pipe::send_pipe_message(client, 1, args) != 0) return false;
  std::vector<uint8_t> reply(kLightingReplyCapacity, 0);
  uint32_t read = 0;
  if (client.ReadChunk(reply.data(), kLightingReplyCapacity, &read) != 0 || read == 0) return false;
  status = DecodeLightingReply(std::span<const uint8_t>(reply.data(), read));
  return true;
}

}  // namespace vantrel::agent
