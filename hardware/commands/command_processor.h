// The hardware service's pipe commands: 39 slots, each a PipeCommandHandler.
// Registry and log-only handlers live in command_processor.cpp, firmware
// handlers in firmware_handlers.cpp, GPU handlers in gpu_handlers.cpp.
#pragma once
#include <cstddef>
#include <vector>

#include "common/hardware_commands.h"
#include "common/pipe_message.h"

namespace velmont {

using vantrel::pipe::PipeCommandHandler;
using vantrel::pipe::PipeReply;
using vantrel::pipe::PipeRequest;

class VmClientCommandProcessor {
 public:
  // The 39-slot table; reserved slots (28, 33-35) do nothing.
  static std::vector<PipeCommandHandler> CommandTable();

  // Registry (command_processor.cpp).
  static PipeReply reg_create_key(const PipeRequest& r);
  static PipeReply reg_delete_tree(const PipeRequest& r);
  static PipeReply reg_set_value(const PipeRequest& r);
  static PipeReply reg_delete_value(const PipeRequest& r);
  static PipeReply reg_update_value(const PipeRequest& r);
  static PipeReply reg_get_value(const PipeRequest& r);

  // Firmware (firmware_handlers.cpp).
  static PipeReply wmi_get_gaming_system_information(const PipeRequest& r);
  static PipeReply wmi_set_gaming_fan_group_behavior(const PipeRequest& r);
  static PipeReply wmi_get_gaming_fan_group_behavior(const PipeRequest& r);
  static PipeReply wmi_set_gaming_fan_group_speed(const PipeRequest& r);
  static PipeReply wmi_get_gaming_fan_group_speed(const PipeRequest& r);
  static PipeReply wmi_set_gaming_fan_table(const PipeRequest& r);
  static PipeReply wmi_get_gaming_fan_table(const PipeRequest& r);
  static PipeReply wmi_set_gaming_profile_configuration(const PipeRequest& r);
  static PipeReply wmi_get_gaming_profile_configuration(const PipeRequest& r);
  static PipeReply wmi_set_gaming_misc_setting(const PipeRequest& r);
  static PipeReply wmi_get_gaming_misc_setting(const PipeRequest& r);
  static PipeReply wmi_get_function(const PipeRequest& r);
  static PipeReply wmi_set_function(const PipeRequest& r);

  // GPU (gpu_handlers.cpp).
  static PipeReply gpu_get_count(const PipeRequest& r);
  static PipeReply gpu_get_idle_state(const PipeRequest& r);
  static PipeReply gpu_get_frequency(const PipeRequest& r);
  static PipeReply gpu_get_max_frequency(const PipeRequest& r);
  static PipeReply gpu_get_usage(const PipeRequest& r);

  // Log-only (command_processor.cpp).
  static PipeReply get_operation_mode_capability(const PipeRequest& r);
  static PipeReply get_operation_mode(const PipeRequest& r);
  static PipeReply set_operation_mode(const PipeRequest& r);
  static PipeReply get_dts_sound_mode(const PipeRequest& r);
  static PipeReply set_dts_sound_mode(const PipeRequest& r);
  static PipeReply get_stickykey(const PipeRequest& r);
  static PipeReply usb_get_keyborad_backlight30s(const PipeRequest& r);
  static PipeReply apply_bios_logo(const PipeRequest& r);
  static PipeReply restore_bios_logo(const PipeRequest& r);
  static PipeReply get_bios_logo(const PipeRequest& r);
};

// "velmont::VmClientCommandProcessor::" + name, the function text of handler log lines.
inline constexpr wchar_t kProcessorPrefix[] = L"velmont::VmClientCommandProcessor::";

}  // namespace velmont
