// The thirteen firmware commands: what each one calls, how it logs, and the
// width of its reply. Portable; the platform half is the method call itself
// (platform.h).
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/pipe_message.h"

namespace velmont::firmware {

inline constexpr wchar_t kGamingClass[] = L"VantrelGamingFunction";
inline constexpr wchar_t kGeActionClass[] = L"VRGeAction";

// One firmware class and the names of its single input and output parameter.
struct FirmwareClass {
  const wchar_t* name;
  const wchar_t* query;   // WQL instance query
  const wchar_t* input;   // input parameter name
  const wchar_t* output;  // output parameter name
};
const FirmwareClass& GamingFunctionClass();
const FirmwareClass& GeActionClass();

struct FirmwareCommand {
  uint16_t command;
  const wchar_t* handler;       // method name of VmClientCommandProcessor
  const wchar_t* command_name;  // kSvcCmd... text of the first log line
  const FirmwareClass* cls;
  const wchar_t* method;
  bool set_row;         // Set rows: u64 in, u32 out. Get rows: u32 in, u64 out.
  bool passes_input;    // false for GetGamingFanTable, whose input is only logged
  const wchar_t* input_log;   // followed by the input in upper-case hex
  const wchar_t* output_log;  // followed by the output in upper-case hex
  const wchar_t* failure_text;

  unsigned input_width() const { return set_row ? 8 : 4; }
  unsigned output_width() const { return set_row ? 4 : 8; }
};

// The row of a command number; null for non-firmware commands.
const FirmwareCommand* FindFirmwareCommand(uint16_t command);
// All thirteen rows, in command-number order.
const FirmwareCommand* FirmwareCommands(size_t* count);

// Decimal text of a value, as the firmware receives its input.
std::wstring DecimalText(uint64_t value);
// Reads the firmware's answer given as decimal text: optional surrounding
// blanks, digits only, no sign, nothing past 2^64-1. nullopt otherwise.
std::optional<uint64_t> ParseDecimalText(std::wstring_view text);
// Upper-case hex without leading zeros ("3C00"), the log lines' number format.
std::wstring HexText(uint64_t value);
// The output narrowed to the row's width; nullopt when it does not fit
// (a 32-bit output above 0xFFFFFFFF is a conversion failure, not a truncation).
std::optional<uint64_t> FitOutput(const FirmwareCommand& row, uint64_t value);

// Reply of a successful call: the value in the row's output width.
std::vector<uint8_t> ValueReply(const FirmwareCommand& row, uint64_t value);
// Reply of a failed call: 0xFFFFFFFF as 4 bytes (Set rows) or as the 8-byte
// 0x00000000FFFFFFFF (Get rows).
std::vector<uint8_t> FailureReply(const FirmwareCommand& row);

// One firmware method call: `input` is nullopt when the row passes none.
// Returns the output (already narrowed to the row's width) or nullopt on failure.
using FirmwareCall =
    std::function<std::optional<uint64_t>(const FirmwareCommand& row, std::optional<uint64_t> input)>;

// The whole handler: log the command name, read and log the input, call,
// log the output or the failure text, reply in the row's width.
vantrel::pipe::PipeReply RunFirmwareCommand(const FirmwareCommand& row,
                                            const vantrel::pipe::PipeRequest& request,
                                            const FirmwareCall& call);

// GetGamingSysInfo input word: low byte the function, next byte the sensor id.
inline constexpr uint8_t kSysInfoCapability = 0x00;
inline constexpr uint8_t kSysInfoReadSensor = 0x01;
inline constexpr uint8_t kSensorCpuTemp = 0x01;
inline constexpr uint8_t kSensorCpuFan = 0x02;
inline constexpr uint8_t kSensorSystemTemp = 0x03;
inline constexpr uint8_t kSensorSystemFan2 = 0x08;
// GPU index 0..3: fan 0x06, 0x09, 0x12, 0x14; temperature 0x0A, 0x0B, 0x13, 0x15.
// -1 when the sensor id is not a GPU sensor.
int GpuFanIndex(uint8_t sensor);
int GpuTempIndex(uint8_t sensor);
// Output words: status byte 0 and the value in bits 8..23 (clamped to 0xFFFF),
// status 1 for a sensor that does not exist, the capability word in bits 24..39.
uint64_t SensorOutput(int64_t value);
inline constexpr uint64_t kSensorMissing = 0x01;
uint64_t CapabilityOutput(uint16_t capability);

}  // namespace velmont::firmware
