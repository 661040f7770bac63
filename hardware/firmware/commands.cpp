#include "hardware/firmware/commands.h"

#include <array>
#include <iterator>

#include "common/diag_log.h"
#include "hardware/commands/command_processor.h"

namespace velmont::firmware {
namespace {

const FirmwareClass kGaming{kGamingClass, L"SELECT * FROM VantrelGamingFunction", L"gmInput", L"gmOutput"};
const FirmwareClass kGe{kGeActionClass, L"SELECT * FROM VRGeAction", L"uiInput", L"uiOutput"};

constexpr wchar_t kGetFail[] = L"GetVantrelGamingSystemConfiguration is fail!!";
constexpr wchar_t kSetFail[] = L"SetVantrelGamingLEDBehavior is fail!!";

const std::array<FirmwareCommand, 13> kRows{{
    {7, L"wmi_get_gaming_system_information", L"kSvcCmdWMIGetGamingSystemInformation", &kGaming,
     L"GetGamingSysInfo", false, true, L"WMI GetGamingSystemInformationFunction input: 0x",
     L"WMI GetGamingSystemInformationFunction output: 0x", kGetFail},
    {13, L"wmi_set_gaming_fan_group_behavior", L"kSvcCmdWMISetGamingFanGroupBehavior", &kGaming,
     L"SetGamingFanBehavior", true, true, L"WMI SetGamingFanGroupBehaviorFunction input: 0x",
     L"WMI SetGamingFanGroupBehaviorFunction output: 0x", kSetFail},
    {14, L"wmi_get_gaming_fan_group_behavior", L"kSvcCmdWMIGetGamingFanGroupBehavior", &kGaming,
     L"GetGamingFanBehavior", false, true, L"WMI GetGamingFanGroupBehaviorFunction input: 0x",
     L"WMI GetGamingFanGroupBehaviorFunction output: 0x", kGetFail},
    {15, L"wmi_set_gaming_fan_group_speed", L"kSvcCmdWMISetGamingFanGroupSpeed", &kGaming,
     L"SetGamingFanSpeed", true, true, L"WMI SetGamingFanGroupSpeedFunction input: 0x",
     L"WMI SetGamingFanGroupSpeedFunction output: 0x", kSetFail},
    {16, L"wmi_get_gaming_fan_group_speed", L"kSvcCmdWMIGetGamingFanGroupSpeed", &kGaming,
     L"GetGamingFanSpeed", false, true, L"WMI GetGamingFanGroupSpeedFunction input: 0x",
     L"WMI GetGamingFanGroupSpeedFunction output: 0x", kGetFail},
    {17, L"wmi_set_gaming_fan_table", L"kSvcCmdWMISetGamingFanTable", &kGaming, L"SetGamingFanTable",
     true, true, L"WMI SetGamingFanTableFunction input: 0x", L"WMI SetGamingFanTableFunction output: 0x",
     kSetFail},
    {18, L"wmi_get_gaming_fan_table", L"kSvcCmdWMIGetGamingFanTable", &kGaming, L"GetGamingFanTable",
     false, false, L"WMI GetGamingFanTableFunction input: 0x", L"WMI GetGamingFanTableFunction output: 0x",
     kGetFail},
    {24, L"wmi_set_gaming_profile_configuration", L"kSvcCmdWMISetGamingProfileConfiguration", &kGaming,
     L"SetGamingProfile", true, true, L"WMI SetGamingProfileConfigurationFunction input: 0x",
     L"WMI SetGamingProfileConfigurationFunction output: 0x", kSetFail},
    {25, L"wmi_get_gaming_profile_configuration", L"kSvcCmdWMIGetGamingProfileConfiguration", &kGaming,
     L"GetGamingProfile", false, true, L"WMI GetGamingProfileConfigurationFunction input: 0x",
     L"WMI GetGamingProfileConfigurationFunction output: 0x", kGetFail},
    {26, L"wmi_set_gaming_misc_setting", L"kSvcCmdWMISetGamingMiscSetting", &kGaming,
     L"SetGamingMiscSetting", true, true, L"WMI SetGamingMiscSettingFunction input: 0x",
     L"WMI SetGamingMiscSettingFunction output: 0x", L"SetGamingMiscSettingBehavior is fail!!"},
    {27, L"wmi_get_gaming_misc_setting", L"kSvcCmdWMIGetGamingMiscSetting", &kGaming,
     L"GetGamingMiscSetting", false, true, L"WMI GetGamingMiscSettingFunction input: 0x",
     L"WMI GetGamingMiscSettingFunction output: 0x", L"GetGamingMiscSettingBehavior is fail!!"},
    {30, L"wmi_get_function", L"kSvcCmdWMIGeFunction", &kGe, L"GetFunction", false, true,
     L"WMI GetFunction input: 0x", L"WMI GetFunction output: 0x", kGetFail},
    {31, L"wmi_set_function", L"kSvcCmdWMISetFunction", &kGe, L"SetFunction", true, true,
     L"WMI SetFunction input: 0x", L"WMI SetFunction output: 0x", kSetFail},
}};

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

}  // namespace

const FirmwareClass& GamingFunctionClass() { return kGaming; }
const FirmwareClass& GeActionClass() { return kGe; }

const FirmwareCommand* FindFirmwareCommand(uint16_t command) {
  for (const auto& row : kRows) {
    if (row.command == command) return &row;
  }
  return nullptr;
}

const FirmwareCommand* FirmwareCommands(size_t* count) {
  *count = kRows.size();
  return kRows.data();
}

std::wstring DecimalText(uint64_t value) {
  wchar_t buf[24];
  size_t n = 0;
  do {
    buf[n++] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  return std::wstring(std::make_reverse_iterator(buf + n), std::make_reverse_iterator(buf));
}

std::optional<uint64_t> ParseDecimalText(std::wstring_view text) {
  size_t b = 0, e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  if (b == e) return std::nullopt;
  uint64_t v = 0;
  for (size_t i = b; i < e; ++i) {
    wchar_t c = text[i];
    if (c < L'0' || c > L'9') return std::nullopt;
    uint64_t d = static_cast<uint64_t>(c - L'0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

std::wstring HexText(uint64_t value) {
  static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
  wchar_t buf[17];
  size_t n = 0;
  do {
    buf[n++] = kDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  return std::wstring(std::make_reverse_iterator(buf + n), std::make_reverse_iterator(buf));
}

std::optional<uint64_t> FitOutput(const FirmwareCommand& row, uint64_t value) {
  if (row.output_width() == 4 && value > 0xFFFFFFFFull) return std::nullopt;
  return value;
}

std::vector<uint8_t> ValueReply(const FirmwareCommand& row, uint64_t value) {
  std::vector<uint8_t> bytes = row.output_width() == 4
                                   ? vantrel::pipe::U32Bytes(static_cast<uint32_t>(value))
                                   : vantrel::pipe::U64Bytes(value);
  return vantrel::pipe::build_pipe_reply({{static_cast<uint32_t>(bytes.size()), bytes.data()}});
}

std::vector<uint8_t> FailureReply(const FirmwareCommand& row) { return ValueReply(row, 0xFFFFFFFFull); }

vantrel::pipe::PipeReply RunFirmwareCommand(const FirmwareCommand& row,
                                            const vantrel::pipe::PipeRequest& request,
                                            const FirmwareCall& call) {
  const std::wstring function = std::wstring(kProcessorPrefix) + row.handler;
  vantrel::LogInfo(function, row.command_name);

  const uint64_t input = row.set_row ? request.U64Arg(0) : request.U32Arg(0);
  vantrel::LogInfo(function, row.input_log + HexText(input));

  std::optional<uint64_t> output;
  if (call) {
    output = call(row, row.passes_input ? std::optional<uint64_t>(input) : std::nullopt);
    if (output) output = FitOutput(row, *output);
  }
  std::vector<uint8_t> reply;
  if (output) {
    vantrel::LogInfo(function, row.output_log + HexText(*output));
    reply = ValueReply(row, *output);
  } else {
    vantrel::LogInfo(function, row.failure_text);
    reply = FailureReply(row);
  }
  if (row.command == 13) {
    vantrel::LogInfo(std::wstring(kProcessorPrefix) + L"Turn_on_off_Turbo_button_LED",
                     L"Turn_on_off_Turbo_button_LED");
  }
  return reply;
}

int GpuFanIndex(uint8_t sensor) {
  switch (sensor) {
    case 0x06: return 0;
    case 0x09: return 1;
    case 0x12: return 2;
    case 0x14: return 3;
    default: return -1;
  }
}

int GpuTempIndex(uint8_t sensor) {
  switch (sensor) {
    case 0x0A: return 0;
    case 0x0B: return 1;
    case 0x13: return 2;
    case 0x15: return 3;
    default: return -1;
  }
}

uint64_t SensorOutput(int64_t value) {
  if (value < 0) value = 0;
  if (value > 0xFFFF) value = 0xFFFF;
  return static_cast<uint64_t>(value) << 8;
}

uint64_t CapabilityOutput(uint16_t capability) { return static_cast<uint64_t>(capability) << 24; }

}  // namespace velmont::firmware
