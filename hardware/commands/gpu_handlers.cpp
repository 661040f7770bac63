// The GPU command handlers: the NVIDIA path when start-up found an NVIDIA GPU,
// the other-vendor path otherwise.
#include <cstdint>
#include <string>

#include "common/diag_log.h"
#include "common/pipe_message.h"
#include "common/text.h"
#include "hardware/commands/command_processor.h"
#include "hardware/gpu/telemetry.h"

namespace velmont {
namespace {

std::wstring Fn(const wchar_t* name) { return std::wstring(kProcessorPrefix) + name; }

PipeReply ReplyU32(uint32_t value) {
  auto bytes = vantrel::pipe::U32Bytes(value);
  return vantrel::pipe::build_pipe_reply({{4, bytes.data()}});
}

PipeReply ValueCommand(const PipeRequest& r, const wchar_t* handler, const wchar_t* command, int type) {
  const std::wstring fn = Fn(handler);
  vantrel::LogInfo(fn, command);
  const uint32_t index = r.U32Arg(0);
  vantrel::LogInfo(fn, vantrel::text::Format(L"Graphic card index: %d", static_cast<int>(index)));
  int32_t value = -1;
  if (gpu::PresenceFlag()) {
    if (!gpu::NvidiaQuery(gpu::SystemNvidiaDriver(), type, index, &value) || value < 0) value = -1;
  } else {
    value = gpu::OtherVendorQuery(type);
  }
  return ReplyU32(static_cast<uint32_t>(value));
}

}  // namespace

PipeReply VmClientCommandProcessor::gpu_get_count(const PipeRequest&) {
  vantrel::LogInfo(Fn(L"gpu_get_count"), L"kSvcCmdGPUGetCount");
  int32_t count = -1;
  if (gpu::PresenceFlag()) {
    if (!gpu::NvidiaQuery(gpu::SystemNvidiaDriver(), gpu::kQueryCount, 0, &count)) count = 0;
  } else {
    count = gpu::OtherVendorQuery(gpu::kQueryCount);
  }
  return ReplyU32(static_cast<uint32_t>(count));
}

PipeReply VmClientCommandProcessor::gpu_get_idle_state(const PipeRequest&) {
  vantrel::LogInfo(Fn(L"gpu_get_idle_state"), L"kSvcCmdGPUGetIdleState");
  if (!gpu::PresenceFlag()) return ReplyU32(1);

  const std::wstring fn = Fn(L"nvidia_get_coproc_status");
  vantrel::LogInfo(fn, L"nvidia_get_coproc_status() - start");
  uint32_t state = 0;
  if (!gpu::SystemNvidiaDriver().CoprocState(&state)) {
    vantrel::LogInfo(fn, L"NvAPI_Coproc_GetCoprocStatus() fail");
    // An unknown state is reported as a failure: the agent then leaves the
    // GPU values out rather than polling a GPU that may be asleep.
    state = 0xFFFFFFFFu;
  }
  vantrel::LogInfo(fn, vantrel::text::Format(L"pCoprocState: %d", static_cast<int>(state)));
  vantrel::LogInfo(fn, L"nvidia_get_coproc_status() - end");
  return ReplyU32(state);
}

PipeReply VmClientCommandProcessor::gpu_get_frequency(const PipeRequest& r) {
  return ValueCommand(r, L"gpu_get_frequency", L"kSvcCmdGPUGetFrequency", gpu::kQueryClock);
}
PipeReply VmClientCommandProcessor::gpu_get_max_frequency(const PipeRequest& r) {
  return ValueCommand(r, L"gpu_get_max_frequency", L"kSvcCmdGPUGetMaxFrequency", gpu::kQueryMaxClock);
}
PipeReply VmClientCommandProcessor::gpu_get_usage(const PipeRequest& r) {
  return ValueCommand(r, L"gpu_get_usage", L"kSvcCmdGPUGetUsage", gpu::kQueryUsage);
}

}  // namespace velmont
