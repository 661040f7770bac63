// The monitor agent's TCP request format and the lighting service's reply
// layout, in one place for the agent, vantrelctl, the benches and the tests.
//
// A request is "VNTL", the command as a 32-bit little-endian number, then the
// JSON text. With the cipher on, the whole block is AES-ECB enciphered under
// the key and the replies are Base64 text.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel::agentwire {

inline constexpr uint32_t kHeaderSize = 8;
inline constexpr char kMagic[4] = {'V', 'N', 'T', 'L'};
inline constexpr int32_t kCommandInitialization = 0;
inline constexpr int32_t kCommandGetMonitorData = 10;
// The key both ends use until the UI sets its own.
inline constexpr char kDefaultKey[] = "5931742068153924";

// Header and JSON text of one request.
std::string Request(uint32_t command, std::string_view json);

// The lighting service's pipe: command 1 with the argument 1 asks for its
// status. Its reply is read at fixed offsets, each only as far as the reply
// reaches.
inline constexpr uint16_t kLightingStatusCommand = 1;
inline constexpr uint32_t kLightingStatusArgument = 1;
inline constexpr size_t kLightingDeviceOffset = 13;
inline constexpr size_t kLightingDeviceRecordSize = 50;
inline constexpr size_t kLightingArgument3Offset = 67;
inline constexpr size_t kLightingCountOffset = 75;
inline constexpr size_t kLightingArgument5Offset = 83;
inline constexpr size_t kLightingBrightnessOffset = 91;
inline constexpr size_t kLightingRecordsOffset = 99;
inline constexpr size_t kLightingRecordSize = 108;
inline constexpr size_t kLightingMaxRecords = 30;
inline constexpr size_t kLightingReplyCapacity = 5000;

}  // namespace vantrel::agentwire
