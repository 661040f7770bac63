// The firmware command handlers: each one is a row of the firmware command
// table run against the platform's method call.
#include <string>

#include "common/diag_log.h"
#include "hardware/commands/command_processor.h"
#include "hardware/firmware/commands.h"
#include "hardware/firmware_gpu_startup.h"
#include "hardware/firmware/platform.h"
#include "hardware/firmware/smbios.h"

namespace velmont {
namespace {

PipeReply Run(HardwareCommand command, const PipeRequest& request) {
  const firmware::FirmwareCommand* row = firmware::FindFirmwareCommand(command);
  return firmware::RunFirmwareCommand(*row, request, firmware::CallFirmwareMethod);
}

}  // namespace

PipeReply VmClientCommandProcessor::wmi_get_gaming_system_information(const PipeRequest& r) {
  return Run(kSvcCmdWMIGetGamingSystemInformation, r);
}
PipeReply VmClientCommandProcessor::wmi_set_gaming_fan_group_behavior(const PipeRequest& r) {
  return Run(kSvcCmdWMISetGamingFanGroupBehavior, r);
}
PipeReply VmClientCommandProcessor::wmi_get_gaming_fan_group_behavior(const PipeRequest& r) {
  return Run(kSvcCmdWMIGetGamingFanGroupBehavior, r);
}
PipeReply VmClientCommandProcessor::wmi_set_gaming_fan_group_speed(const PipeRequest& r) {
  return Run(kSvcCmdWMISetGamingFanGroupSpeed, r);
}
PipeReply VmClientCommandProcessor::wmi_get_gaming_fan_group_speed(const PipeRequest& r) {
  return Run(kSvcCmdWMIGetGamingFanGroupSpeed, r);
}
PipeReply VmClientCommandProcessor::wmi_set_gaming_fan_table(const PipeRequest& r) {
  return Run(kSvcCmdWMISetGamingFanTable, r);
}
PipeReply VmClientCommandProcessor::wmi_get_gaming_fan_table(const PipeRequest& r) {
  return Run(kSvcCmdWMIGetGamingFanTable, r);
}
PipeReply VmClientCommandProcessor::wmi_set_gaming_profile_configuration(const PipeRequest& r) {
  return Run(kSvcCmdWMISetGamingProfileConfiguration, r);
}
PipeReply VmClientCommandProcessor::wmi_get_gaming_profile_configuration(const PipeRequest& r) {
  return Run(kSvcCmdWMIGetGamingProfileConfiguration, r);
}
PipeReply VmClientCommandProcessor::wmi_set_gaming_misc_setting(const PipeRequest& r) {
  return Run(kSvcCmdWMISetGamingMiscSetting, r);
}
PipeReply VmClientCommandProcessor::wmi_get_gaming_misc_setting(const PipeRequest& r) {
  return Run(kSvcCmdWMIGetGamingMiscSetting, r);
}
PipeReply VmClientCommandProcessor::wmi_get_function(const PipeRequest& r) {
  return Run(kSvcCmdWMIGeFunction, r);
}
PipeReply VmClientCommandProcessor::wmi_set_function(const PipeRequest& r) {
  return Run(kSvcCmdWMISetFunction, r);
}

int OperationModeSupport() {
  try {
    const std::vector<uint8_t> table = firmware::ReadRawSmbiosTables();
    if (table.empty()) return 0;
    return firmware::OperationModeFromSmbios(table);
  } catch (...) {
    vantrel::LogInfo(std::wstring(kProcessorPrefix) + L"OperationMode_support",
                     L"OperationMode_support - Not Support");
    return 0;
  }
}

}  // namespace velmont
