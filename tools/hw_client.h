// Client of the hardware service's pipe: one transaction per request, typed
// builders for every command family, and the command names. Used by
// vantrelctl and by tests.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/hardware_commands.h"

namespace vantrel::ctl {

using Bytes = std::vector<uint8_t>;

struct HwResult {
  // 0 when the transaction completed; else the Win32 error of connect, write
  // or read (a server that ends the connection without replying gives the
  // read's error, e.g. ERROR_BROKEN_PIPE).
  uint32_t error = 0;
  // False for commands that send no reply (log-only and reserved slots).
  bool replied = false;
  std::vector<Bytes> args;

  bool ok() const { return error == 0; }
  // Argument i as a u32 / u64 when it has exactly that width.
  std::optional<uint32_t> U32(size_t i) const;
  std::optional<uint64_t> U64(size_t i) const;
};

using HwInput = velmont::CommandInput;
using HwOutput = velmont::CommandOutput;
using HwCommandInfo = velmont::HardwareCommandInfo;

// Every slot in order.
inline const auto& HwCommands() { return velmont::kHardwareCommands; }
// By command name (with or without the "kSvcCmd" prefix, case-insensitive) or number.
const HwCommandInfo* FindHwCommand(const std::string& name_or_number);
// The log-only and reserved slots, which never reply (ids 39 and above are
// not silent: the server ends the connection).
bool HwCommandSilent(uint16_t id);

class HwClient {
 public:
  // Default: the hardware service's pipe (with VANTREL_INSTANCE applied).
  HwClient();
  explicit HwClient(std::wstring pipe_name);

  // Sends one request. For commands without a reply it confirms that the
  // server took the request and kept the connection by sending a dump
  // (command 0) on the same connection and reading its reply.
  HwResult Send(uint16_t command, const std::vector<Bytes>& args) const;

  HwResult Dump(const std::vector<Bytes>& args) const { return Send(velmont::kSvcCmdDumpArguments, args); }
  HwResult RegCreateKey(const std::wstring& path) const;
  HwResult RegDeleteTree(const std::wstring& path) const;
  HwResult RegSetValue(const std::wstring& path, const std::wstring& name, uint32_t type, const Bytes& data) const;
  HwResult RegDeleteValue(const std::wstring& path, const std::wstring& name) const;
  HwResult RegUpdateValue(const std::wstring& path, const std::wstring& name, uint32_t type, const Bytes& data) const;
  HwResult RegGetValue(const std::wstring& path, const std::wstring& name, uint32_t flags, uint32_t size,
                       const std::optional<Bytes>& default_data) const;
  // Firmware command: the value is sent as its command's input width.
  HwResult Firmware(const HwCommandInfo& command, uint64_t value) const;
  // GPU command: count and idle take no argument, the others a u32 index.
  HwResult Gpu(uint16_t command, uint32_t index) const;

  const std::wstring& pipe_name() const { return pipe_name_; }

 private:
  std::wstring pipe_name_;
};

// Whether the service runs that firmware backend ("sim", "linux"), as it
// publishes it in the registry store; false when it publishes none (Windows).
bool FirmwareBackendIs(const HwClient& client, const wchar_t* name);

// The UTF-16LE-with-NUL form of a string argument.
Bytes WideArg(const std::wstring& s);
// Parses "0a1b2c" (optionally with 0x, spaces or colons removed by the caller); nullopt when malformed.
std::optional<Bytes> ParseHex(const std::string& hex);
std::string ToHex(const Bytes& bytes, const char* separator = " ");
// A Win32 error's symbolic name for the codes the suite uses ("" when unknown).
const char* Win32ErrorName(uint32_t code);

}  // namespace vantrel::ctl
