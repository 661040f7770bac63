// Firmware command handlers (placeholder: every call fails until the WMI layer lands).
#include <cstdint>
#include <string>

#include "common/diag_log.h"
#include "common/pipe_message.h"
#include "hardware/command_processor.h"

namespace velmont {
namespace {

PipeReply FailSet(const wchar_t* handler, const wchar_t* command) {
  vantrel::LogInfo(std::wstring(kProcessorPrefix) + handler, command);
  auto bytes = vantrel::pipe::U32Bytes(0xFFFFFFFFu);
  return vantrel::pipe::build_pipe_reply({{4, bytes.data()}});
}

PipeReply FailGet(const wchar_t* handler, const wchar_t* command) {
  vantrel::LogInfo(std::wstring(kProcessorPrefix) + handler, command);
  auto bytes = vantrel::pipe::U64Bytes(0xFFFFFFFFull);
  return vantrel::pipe::build_pipe_reply({{8, bytes.data()}});
}

}  // namespace

PipeReply VmClientCommandProcessor::wmi_get_gaming_system_information(const PipeRequest&) {
  return FailGet(L"wmi_get_gaming_system_information", L"kSvcCmdWMIGetGamingSystemInformation");
}
PipeReply VmClientCommandProcessor::wmi_set_gaming_fan_group_behavior(const PipeRequest&) {
  return FailSet(L"wmi_set_gaming_fan_group_behavior", L"kSvcCmdWMISetGamingFanGroupBehavior");
}
PipeReply VmClientCommandProcessor::wmi_get_gaming_fan_group_behavior(const PipeRequest&) {
  return FailGet(L"wmi_get_gaming_fan_group_behavior", L"kSvcCmdWMIGetGamingFanGroupBehavior");
}
PipeReply VmClientCommandProcessor::wmi_set_gaming_fan_group_speed(const PipeRequest&) {
  return FailSet(L"wmi_set_gaming_fan_group_speed", L"kSvcCmdWMISetGamingFanGroupSpeed");
}
PipeReply VmClientCommandProcessor::wmi_get_gaming_fan_group_speed(const PipeRequest&) {
  return FailGet(L"wmi_get_gaming_fan_group_speed", L"kSvcCmdWMIGetGamingFanGroupSpeed");
}
PipeReply VmClientCommandProcessor::wmi_set_gaming_fan_table(const PipeRequest&) {
  return FailSet(L"wmi_set_gaming_fan_table", L"kSvcCmdWMISetGamingFanTable");
}
PipeReply VmClientCommandProcessor::wmi_get_gaming_fan_table(const PipeRequest&) {
  return FailGet(L"wmi_get_gaming_fan_table", L"kSvcCmdWMIGetGamingFanTable");
}
PipeReply VmClientCommandProcessor::wmi_set_gaming_profile_configuration(const PipeRequest&) {
  return FailSet(L"wmi_set_gaming_profile_configuration", L"kSvcCmdWMISetGamingProfileConfiguration");
}
PipeReply VmClientCommandProcessor::wmi_get_gaming_profile_configuration(const PipeRequest&) {
  return FailGet(L"wmi_get_gaming_profile_configuration", L"kSvcCmdWMIGetGamingProfileConfiguration");
}
PipeReply VmClientCommandProcessor::wmi_set_gaming_misc_setting(const PipeRequest&) {
  return FailSet(L"wmi_set_gaming_misc_setting", L"kSvcCmdWMISetGamingMiscSetting");
}
PipeReply VmClientCommandProcessor::wmi_get_gaming_misc_setting(const PipeRequest&) {
  return FailGet(L"wmi_get_gaming_misc_setting", L"kSvcCmdWMIGetGamingMiscSetting");
}
PipeReply VmClientCommandProcessor::wmi_get_function(const PipeRequest&) {
  return FailGet(L"wmi_get_function", L"kSvcCmdWMIGeFunction");
}
PipeReply VmClientCommandProcessor::wmi_set_function(const PipeRequest&) {
  return FailSet(L"wmi_set_function", L"kSvcCmdWMISetFunction");
}

}  // namespace velmont
