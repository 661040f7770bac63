#include "tools/hw_client.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>

#include "common/names.h"
#include "common/pipe_transport.h"
#include "common/registry.h"
#include "common/text.h"
#include "common/win32_errors.h"

namespace vantrel::ctl {
namespace {

const auto& kCommands = velmont::kHardwareCommands;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::vector<pipe::PipeArg> Args(const std::vector<Bytes>& args) {
  std::vector<pipe::PipeArg> out;
  for (const auto& a : args) out.push_back({static_cast<uint32_t>(a.size()), a.data()});
  return out;
}

}  // namespace

std::optional<uint32_t> HwResult::U32(size_t i) const {
  if (i >= args.size() || args[i].size() != 4) return std::nullopt;
  return pipe::ReadU32Le(args[i].data());
}

std::optional<uint64_t> HwResult::U64(size_t i) const {
  if (i >= args.size() || args[i].size() != 8) return std::nullopt;
  return pipe::ReadU64Le(args[i].data());
}

const HwCommandInfo* FindHwCommand(const std::string& name_or_number) {
  if (name_or_number.empty()) return nullptr;
  char* end = nullptr;
  const unsigned long number = std::strtoul(name_or_number.c_str(), &end, 0);
  if (end != nullptr && *end == '\0' && std::isdigit(static_cast<unsigned char>(name_or_number[0]))) {
    return number < kCommands.size() ? &kCommands[number] : nullptr;
  }
  const std::string wanted = Lower(name_or_number);
  for (const auto& c : kCommands) {
    const std::string name = Lower(c.name);
    if (name.empty()) continue;
    if (name == wanted || name == "ksvccmd" + wanted || name == "ksvccmdwmi" + wanted) return &c;
  }
  return nullptr;
}

bool HwCommandSilent(uint16_t id) {
  return id < kCommands.size() && kCommands[id].output == HwOutput::kNone;
}

HwClient::HwClient() : pipe_name_(names::Instance(names::kHardwarePipe)) {}
HwClient::HwClient(std::wstring pipe_name) : pipe_name_(std::move(pipe_name)) {}

HwResult HwClient::Send(uint16_t command, const std::vector<Bytes>& args) const {
  HwResult result;
  pipe::PipeClient client(pipe_name_);
  // Room for the slowest command (a registry re-issue may take 20 s); a
  // service that hangs ends the command with ERROR_SEM_TIMEOUT instead.
  client.SetDeadline(std::chrono::steady_clock::now() + std::chrono::seconds(30));
  result.error = client.Connect();
  if (result.error != 0) return result;
  const auto packed = Args(args);
  result.error = pipe::send_pipe_message(client, command, packed);
  if (result.error != 0) return result;
  if (HwCommandSilent(command)) {
    // Nothing comes back; a dump on the same connection shows the request was
    // taken and the connection still serves.
    result.error = pipe::send_pipe_message(client, velmont::kSvcCmdDumpArguments, std::span<const pipe::PipeArg>());
    if (result.error != 0) return result;
  }
  Bytes reply;
  result.error = client.ReadMessage(&reply);
  if (result.error != 0) return result;
  auto parsed = pipe::ParseReply(reply);
  if (!parsed) {
    result.error = win32::kErrorInvalidData;
    return result;
  }
  if (HwCommandSilent(command)) return result;
  result.replied = true;
  for (const auto& a : *parsed) result.args.emplace_back(a.begin(), a.end());
  return result;
}

Bytes WideArg(const std::wstring& s) { return text::ToUtf16LeZ(s); }

bool FirmwareBackendIs(const HwClient& client, const wchar_t* name) {
  const HwResult r = client.RegGetValue(std::wstring(L"HKEY_LOCAL_MACHINE\\") + reg::kPlatformKey,
                                        L"FirmwareBackendInUse", 0x02, 64, std::nullopt);
  if (!r.ok() || r.args.size() != 2 || r.U32(0) != 0u) return false;
  const Bytes& d = r.args[1];
  const Bytes want = WideArg(name);
  return d.size() >= want.size() && std::equal(want.begin(), want.end(), d.begin());
}

HwResult HwClient::RegCreateKey(const std::wstring& path) const { return Send(velmont::kSvcCmdRegCreateKey, {WideArg(path)}); }
HwResult HwClient::RegDeleteTree(const std::wstring& path) const { return Send(velmont::kSvcCmdRegDeleteTree, {WideArg(path)}); }
HwResult HwClient::RegSetValue(const std::wstring& path, const std::wstring& name, uint32_t type,
                               const Bytes& data) const {
  return Send(velmont::kSvcCmdRegSetValue, {WideArg(path), WideArg(name), pipe::U32Bytes(type), data});
}
HwResult HwClient::RegDeleteValue(const std::wstring& path, const std::wstring& name) const {
  return Send(velmont::kSvcCmdRegDeleteValue, {WideArg(path), WideArg(name)});
}
HwResult HwClient::RegUpdateValue(const std::wstring& path, const std::wstring& name, uint32_t type,
                                  const Bytes& data) const {
  return Send(velmont::kSvcCmdRegUpdateValue, {WideArg(path), WideArg(name), pipe::U32Bytes(type), data});
}
HwResult HwClient::RegGetValue(const std::wstring& path, const std::wstring& name, uint32_t flags, uint32_t size,
                               const std::optional<Bytes>& default_data) const {
  std::vector<Bytes> args = {WideArg(path), WideArg(name), pipe::U32Bytes(flags), pipe::U32Bytes(size)};
  if (default_data) args.push_back(*default_data);
  return Send(velmont::kSvcCmdRegGetValue, args);
}

HwResult HwClient::Firmware(const HwCommandInfo& command, uint64_t value) const {
  if (command.input == HwInput::kU64) return Send(command.id, {pipe::U64Bytes(value)});
  return Send(command.id, {pipe::U32Bytes(static_cast<uint32_t>(value))});
}

HwResult HwClient::Gpu(uint16_t command, uint32_t index) const {
  if (HwCommands()[command].input == HwInput::kNone) return Send(command, {});
  return Send(command, {pipe::U32Bytes(index)});
}

std::optional<Bytes> ParseHex(const std::string& hex) {
  std::string digits = hex;
  if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits = digits.substr(2);
  if (digits.size() % 2 != 0) return std::nullopt;
  Bytes out;
  for (size_t i = 0; i < digits.size(); i += 2) {
    if (!std::isxdigit(static_cast<unsigned char>(digits[i])) ||
        !std::isxdigit(static_cast<unsigned char>(digits[i + 1]))) {
      return std::nullopt;
    }
    out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string ToHex(const Bytes& bytes, const char* separator) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0) out += separator;
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

const char* Win32ErrorName(uint32_t code) {
  switch (code) {
    case 0: return "ERROR_SUCCESS";
    case 2: return "ERROR_FILE_NOT_FOUND";
    case 5: return "ERROR_ACCESS_DENIED";
    case 6: return "ERROR_INVALID_HANDLE";
    case 13: return "ERROR_INVALID_DATA";
    case 87: return "ERROR_INVALID_PARAMETER";
    case 109: return "ERROR_BROKEN_PIPE";
    case 161: return "ERROR_BAD_PATHNAME";
    case 231: return "ERROR_PIPE_BUSY";
    case 232: return "ERROR_NO_DATA";
    case 233: return "ERROR_PIPE_NOT_CONNECTED";
    case 234: return "ERROR_MORE_DATA";
    case 1018: return "ERROR_KEY_DELETED";
    case 1630: return "ERROR_UNSUPPORTED_TYPE";
    default: return "";
  }
}

}  // namespace vantrel::ctl
