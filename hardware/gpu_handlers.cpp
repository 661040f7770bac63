// GPU command handlers (placeholder: the other-vendor answers until the driver layer lands).
#include <cstdint>
#include <string>

#include "common/diag_log.h"
#include "common/pipe_message.h"
#include "hardware/command_processor.h"

namespace velmont {
namespace {

PipeReply ReplyU32(const wchar_t* handler, const wchar_t* command, uint32_t value) {
  vantrel::LogInfo(std::wstring(kProcessorPrefix) + handler, command);
  auto bytes = vantrel::pipe::U32Bytes(value);
  return vantrel::pipe::build_pipe_reply({{4, bytes.data()}});
}

}  // namespace

PipeReply VmClientCommandProcessor::gpu_get_count(const PipeRequest&) {
  return ReplyU32(L"gpu_get_count", L"kSvcCmdGPUGetCount", 0xFFFFFFFFu);
}
PipeReply VmClientCommandProcessor::gpu_get_idle_state(const PipeRequest&) {
  return ReplyU32(L"gpu_get_idle_state", L"kSvcCmdGPUGetIdleState", 1);
}
PipeReply VmClientCommandProcessor::gpu_get_frequency(const PipeRequest&) {
  return ReplyU32(L"gpu_get_frequency", L"kSvcCmdGPUGetFrequency", 0xFFFFFFFFu);
}
PipeReply VmClientCommandProcessor::gpu_get_max_frequency(const PipeRequest&) {
  return ReplyU32(L"gpu_get_max_frequency", L"kSvcCmdGPUGetMaxFrequency", 0xFFFFFFFFu);
}
PipeReply VmClientCommandProcessor::gpu_get_usage(const PipeRequest&) {
  return ReplyU32(L"gpu_get_usage", L"kSvcCmdGPUGetUsage", 0xFFFFFFFFu);
}

}  // namespace velmont
