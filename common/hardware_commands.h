// The hardware service's pipe commands, in one place for the service, the
// agent, vantrelctl, the benches and the tests: the id of each slot, its name,
// and the width of its argument and of its reply. Nothing else spells a
// command number.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace velmont {

inline constexpr size_t kHardwareCommandSlots = 39;

enum HardwareCommand : uint16_t {
  kSvcCmdDumpArguments = 0,
  kSvcCmdRegCreateKey = 1,
  kSvcCmdRegDeleteTree = 2,
  kSvcCmdRegSetValue = 3,
  kSvcCmdRegDeleteValue = 4,
  kSvcCmdRegUpdateValue = 5,
  kSvcCmdRegGetValue = 6,
  kSvcCmdWMIGetGamingSystemInformation = 7,
  kSvcCmdGPUGetCount = 8,
  kSvcCmdGPUGetIdleState = 9,
  kSvcCmdGPUGetFrequency = 10,
  kSvcCmdGPUGetMaxFrequency = 11,
  kSvcCmdGPUGetUsage = 12,
  kSvcCmdWMISetGamingFanGroupBehavior = 13,
  kSvcCmdWMIGetGamingFanGroupBehavior = 14,
  kSvcCmdWMISetGamingFanGroupSpeed = 15,
  kSvcCmdWMIGetGamingFanGroupSpeed = 16,
  kSvcCmdWMISetGamingFanTable = 17,
  kSvcCmdWMIGetGamingFanTable = 18,
  kSvcCmdGetOperationModeCapbility = 19,
  kSvcCmdGetOperationMode = 20,
  kSvcCmdSetOperationMode = 21,
  kSvcCmdGetDTSSoundMode = 22,
  kSvcCmdSetDTSSoundMode = 23,
  kSvcCmdWMISetGamingProfileConfiguration = 24,
  kSvcCmdWMIGetGamingProfileConfiguration = 25,
  kSvcCmdWMISetGamingMiscSetting = 26,
  kSvcCmdWMIGetGamingMiscSetting = 27,
  kSvcCmdGetStickyKey = 29,
  kSvcCmdWMIGeFunction = 30,
  kSvcCmdWMISetFunction = 31,
  kSvcCmdGetKBBLoff30sControl = 32,
  kSvcCmdApplyBIOSLogo = 36,
  kSvcCmdRestoreBIOSLogo = 37,
  kSvcCmdGetBIOSLogo = 38,
};

// What a command carries: its scalar argument, and its reply.
enum class CommandInput : uint8_t { kNone, kU32, kU64 };
enum class CommandOutput : uint8_t {
  kNone,           // no reply (log-only and reserved slots)
  kText,           // the argument dump
  kU32,
  kI32,
  kU64,
  kResult,         // a Win32 result code
  kResultAndData,  // a result code, the value's type and its bytes
};

struct HardwareCommandInfo {
  uint16_t id;
  const char* name;  // kSvcCmd... ("" for a reserved slot)
  CommandInput input;
  CommandOutput output;
};

namespace detail {
using I = CommandInput;
using O = CommandOutput;
}  // namespace detail

// Every slot, in id order.
inline constexpr std::array<HardwareCommandInfo, kHardwareCommandSlots> kHardwareCommands = {{
    {kSvcCmdDumpArguments, "kSvcCmdDumpArguments", detail::I::kNone, detail::O::kText},
    {kSvcCmdRegCreateKey, "kSvcCmdRegCreateKey", detail::I::kNone, detail::O::kResult},
    {kSvcCmdRegDeleteTree, "kSvcCmdRegDeleteTree", detail::I::kNone, detail::O::kResult},
    {kSvcCmdRegSetValue, "kSvcCmdRegSetValue", detail::I::kNone, detail::O::kResult},
    {kSvcCmdRegDeleteValue, "kSvcCmdRegDeleteValue", detail::I::kNone, detail::O::kResult},
    {kSvcCmdRegUpdateValue, "kSvcCmdRegUpdateValue", detail::I::kNone, detail::O::kResult},
    {kSvcCmdRegGetValue, "kSvcCmdRegGetValue", detail::I::kNone, detail::O::kResultAndData},
    {kSvcCmdWMIGetGamingSystemInformation, "kSvcCmdWMIGetGamingSystemInformation", detail::I::kU32,
     detail::O::kU64},
    {kSvcCmdGPUGetCount, "kSvcCmdGPUGetCount", detail::I::kNone, detail::O::kU32},
    {kSvcCmdGPUGetIdleState, "kSvcCmdGPUGetIdleState", detail::I::kNone, detail::O::kU32},
    {kSvcCmdGPUGetFrequency, "kSvcCmdGPUGetFrequency", detail::I::kU32, detail::O::kI32},
    {kSvcCmdGPUGetMaxFrequency, "kSvcCmdGPUGetMaxFrequency", detail::I::kU32, detail::O::kI32},
    {kSvcCmdGPUGetUsage, "kSvcCmdGPUGetUsage", detail::I::kU32, detail::O::kI32},
    {kSvcCmdWMISetGamingFanGroupBehavior, "kSvcCmdWMISetGamingFanGroupBehavior", detail::I::kU64, detail::O::kU32},
    {kSvcCmdWMIGetGamingFanGroupBehavior, "kSvcCmdWMIGetGamingFanGroupBehavior", detail::I::kU32, detail::O::kU64},
    {kSvcCmdWMISetGamingFanGroupSpeed, "kSvcCmdWMISetGamingFanGroupSpeed", detail::I::kU64, detail::O::kU32},
    {kSvcCmdWMIGetGamingFanGroupSpeed, "kSvcCmdWMIGetGamingFanGroupSpeed", detail::I::kU32, detail::O::kU64},
    {kSvcCmdWMISetGamingFanTable, "kSvcCmdWMISetGamingFanTable", detail::I::kU64, detail::O::kU32},
    {kSvcCmdWMIGetGamingFanTable, "kSvcCmdWMIGetGamingFanTable", detail::I::kU32, detail::O::kU64},
    {kSvcCmdGetOperationModeCapbility, "kSvcCmdGetOperationModeCapbility", detail::I::kNone, detail::O::kNone},
    {kSvcCmdGetOperationMode, "kSvcCmdGetOperationMode", detail::I::kNone, detail::O::kNone},
    {kSvcCmdSetOperationMode, "kSvcCmdSetOperationMode", detail::I::kNone, detail::O::kNone},
    {kSvcCmdGetDTSSoundMode, "kSvcCmdGetDTSSoundMode", detail::I::kNone, detail::O::kNone},
    {kSvcCmdSetDTSSoundMode, "kSvcCmdSetDTSSoundMode", detail::I::kNone, detail::O::kNone},
    {kSvcCmdWMISetGamingProfileConfiguration, "kSvcCmdWMISetGamingProfileConfiguration", detail::I::kU64,
     detail::O::kU32},
    {kSvcCmdWMIGetGamingProfileConfiguration, "kSvcCmdWMIGetGamingProfileConfiguration", detail::I::kU32,
     detail::O::kU64},
    {kSvcCmdWMISetGamingMiscSetting, "kSvcCmdWMISetGamingMiscSetting", detail::I::kU64, detail::O::kU32},
    {kSvcCmdWMIGetGamingMiscSetting, "kSvcCmdWMIGetGamingMiscSetting", detail::I::kU32, detail::O::kU64},
    {28, "", detail::I::kNone, detail::O::kNone},
    {kSvcCmdGetStickyKey, "kSvcCmdGetStickyKey", detail::I::kNone, detail::O::kNone},
    {kSvcCmdWMIGeFunction, "kSvcCmdWMIGeFunction", detail::I::kU32, detail::O::kU64},
    {kSvcCmdWMISetFunction, "kSvcCmdWMISetFunction", detail::I::kU64, detail::O::kU32},
    {kSvcCmdGetKBBLoff30sControl, "kSvcCmdGetKBBLoff30sControl", detail::I::kNone, detail::O::kNone},
    {33, "", detail::I::kNone, detail::O::kNone},
    {34, "", detail::I::kNone, detail::O::kNone},
    {35, "", detail::I::kNone, detail::O::kNone},
    {kSvcCmdApplyBIOSLogo, "kSvcCmdApplyBIOSLogo", detail::I::kNone, detail::O::kNone},
    {kSvcCmdRestoreBIOSLogo, "kSvcCmdRestoreBIOSLogo", detail::I::kNone, detail::O::kNone},
    {kSvcCmdGetBIOSLogo, "kSvcCmdGetBIOSLogo", detail::I::kNone, detail::O::kNone},
}};

constexpr bool SlotsInIdOrder() {
  for (size_t i = 0; i < kHardwareCommands.size(); ++i) {
    if (kHardwareCommands[i].id != i) return false;
  }
  return true;
}
static_assert(kHardwareCommands.size() == kHardwareCommandSlots, "one row per slot");
static_assert(SlotsInIdOrder(), "row i describes command i");
static_assert(kSvcCmdGetBIOSLogo + 1 == kHardwareCommandSlots, "the last command fills the last slot");

// Firmware Get and Set commands answer this when they fail.
inline constexpr uint64_t kFirmwareFailure = 0xFFFFFFFFull;

}  // namespace velmont
