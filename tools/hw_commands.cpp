// vantrelctl's "hw" family: every command of the hardware service's pipe.
#include <json/json.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <sstream>

#include "common/pipe_message.h"
#include "common/pipe_transport.h"
#include "common/text.h"
#include "common/win32_errors.h"
#include "tools/commands.h"
#include "tools/hw_client.h"

namespace vantrel::ctl {
namespace {

// The options of the command being run, for the usage errors found while
// reading its words.
thread_local const GlobalOptions* g_options = nullptr;
thread_local std::string g_command;

int Usage(const std::string& message) {
  return UsageError(g_options != nullptr ? *g_options : GlobalOptions{}, message, g_command);
}

std::optional<uint64_t> ParseNumber(const std::string& s) {
  if (s.empty()) return std::nullopt;
  const bool negative = s[0] == '-';
  const std::string digits = negative ? s.substr(1) : s;
  if (digits.empty() || !std::isdigit(static_cast<unsigned char>(digits[0]))) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(digits.c_str(), &end, 0);
  if (errno != 0 || *end != '\0') return std::nullopt;
  return negative ? static_cast<uint64_t>(-static_cast<int64_t>(v)) : static_cast<uint64_t>(v);
}

std::string ErrorText(uint32_t code) {
  std::ostringstream s;
  s << code;
  const char* name = Win32ErrorName(code);
  if (*name) s << " (" << name << ")";
  return s.str();
}

// A transport failure: where the request went and what happened.
int Failed(const GlobalOptions& options, const HwClient& client, const HwResult& r) {
  const std::string where = text::ToUtf8(pipe::PipeClient(client.pipe_name()).full_name());
  const std::string what = "the hardware service did not answer at " + where + ": error " + ErrorText(r.error);
  std::string hint;
  if (r.error == win32::kErrorFileNotFound) {
    hint = "is VantrelSysHardwareService running (with the same VANTREL_INSTANCE and runtime folder)?";
  } else if (r.error == win32::kErrorBrokenPipe || r.error == win32::kErrorNoData ||
             r.error == win32::kErrorPipeNotConnected) {
    hint = "the service ended the connection without a reply (unknown command or malformed request)";
  } else if (r.error == win32::kErrorAccessDenied) {
    hint = "no permission to open it";
  }
  return ReportFailure(options, kExitFailed, "no-answer", what, hint);
}

Json::Value JsonArgs(const HwResult& r) {
  Json::Value list(Json::arrayValue);
  for (const auto& a : r.args) list.append(ToHex(a, ""));
  return list;
}

Json::Value BaseJson(const HwCommandInfo* info, uint16_t id, const HwResult& r) {
  Json::Value out;
  out["ok"] = true;
  out["command"] = id;
  out["name"] = info != nullptr ? info->name : "";
  out["replied"] = r.replied;
  out["reply"] = JsonArgs(r);
  return out;
}

// A registry value's data read as its type.
struct DecodedValue {
  std::string type_name;  // "REG_SZ"...
  std::string text;       // readable form
  Json::Value json;       // typed form
};

DecodedValue DecodeValue(uint32_t type, const Bytes& data) {
  DecodedValue out;
  auto wide_text = [&](size_t from, size_t to) {
    std::wstring w;
    for (size_t i = from; i + 1 < to; i += 2) {
      const wchar_t c = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
      if (c == L'\0') break;
      w += c;
    }
    return text::ToUtf8(w);
  };
  switch (type) {
    case win32::kRegSz:
    case win32::kRegExpandSz:
      out.type_name = type == win32::kRegSz ? "REG_SZ" : "REG_EXPAND_SZ";
      out.text = wide_text(0, data.size());
      out.json = out.text;
      return out;
    case win32::kRegMultiSz: {
      out.type_name = "REG_MULTI_SZ";
      out.json = Json::Value(Json::arrayValue);
      size_t at = 0;
      while (at + 1 < data.size() && (data[at] != 0 || data[at + 1] != 0)) {
        std::string item = wide_text(at, data.size());
        at += (text::FromUtf8(item).size() + 1) * 2;
        out.text += (out.text.empty() ? "" : "|") + item;
        out.json.append(item);
      }
      return out;
    }
    case win32::kRegDword:
      if (data.size() != 4) break;
      out.type_name = "REG_DWORD";
      out.json = pipe::ReadU32Le(data.data());
      char dword[48];
      std::snprintf(dword, sizeof dword, "%u (0x%08x)", pipe::ReadU32Le(data.data()), pipe::ReadU32Le(data.data()));
      out.text = dword;
      return out;
    case win32::kRegQword:
      if (data.size() != 8) break;
      out.type_name = "REG_QWORD";
      out.json = Json::UInt64(pipe::ReadU64Le(data.data()));
      char qword[64];
      std::snprintf(qword, sizeof qword, "%llu (0x%016llx)", static_cast<unsigned long long>(pipe::ReadU64Le(data.data())),
                    static_cast<unsigned long long>(pipe::ReadU64Le(data.data())));
      out.text = qword;
      return out;
    default:
      break;
  }
  out.type_name = type == win32::kRegBinary ? "REG_BINARY" : type == 0 ? "REG_NONE" : "type " + std::to_string(type);
  out.text = ToHex(data);
  out.json = ToHex(data, "");
  return out;
}

// The reply carries no type, so it is found by reading again restricted to
// one type at a time; a restriction that fits is the value's type.
std::optional<uint32_t> ProbeValueType(const HwClient& client, const std::wstring& key, const std::wstring& name,
                                       uint32_t size) {
  static const std::pair<uint32_t, uint32_t> kProbes[] = {
      {0x02, win32::kRegSz},     {0x10, win32::kRegDword},    {0x40, win32::kRegQword}, {0x04, win32::kRegExpandSz},
      {0x20, win32::kRegMultiSz}, {0x08, win32::kRegBinary}, {0x01, 0}};
  for (const auto& [flag, type] : kProbes) {
    const HwResult r = client.RegGetValue(key, name, flag, size, std::nullopt);
    if (r.ok() && r.U32(0) == 0u) return type;
  }
  return std::nullopt;
}

std::optional<uint32_t> TypeOfFlags(uint32_t flags) {
  switch (flags) {
    case 0x01: return 0;
    case 0x02: return win32::kRegSz;
    case 0x04: return win32::kRegExpandSz;
    case 0x08: return win32::kRegBinary;
    case 0x10: return win32::kRegDword;
    case 0x20: return win32::kRegMultiSz;
    case 0x40: return win32::kRegQword;
    default: return std::nullopt;
  }
}

int PrintOrJson(const GlobalOptions& options, const Json::Value& json, const std::string& text, int status) {
  if (options.json) {
    std::cout << json.toStyledString();
  } else {
    std::cout << text;
  }
  return status;
}

// A reply that reports a failure: exit 1, said on standard error (or in the JSON).
int FailedReply(const GlobalOptions& options, Json::Value json, const std::string& message) {
  if (options.json) {
    json["ok"] = false;
    json["error"] = "failed";
    json["message"] = message;
    std::cout << json.toStyledString();
  } else {
    std::cerr << "vantrelctl: " << message << "\n";
  }
  return kExitFailed;
}

int RegGet(const GlobalOptions& options, const HwClient& client, const std::wstring& key, const std::wstring& name,
           uint32_t flags, const HwResult& r) {
  Json::Value json = BaseJson(&HwCommands()[velmont::kSvcCmdRegGetValue], velmont::kSvcCmdRegGetValue, r);
  const std::string where = text::ToUtf8(key) + "\\" + text::ToUtf8(name);
  if (r.args.size() != 2 || !r.U32(0)) return FailedReply(options, json, "malformed reply to " + where);
  const uint32_t result = *r.U32(0);
  json["result"] = result;
  if (result == win32::kErrorFileNotFound) return FailedReply(options, json, where + ": not found");
  if (result != 0) return FailedReply(options, json, where + ": cannot be read: error " + ErrorText(result));
  const Bytes& data = r.args[1];
  std::optional<uint32_t> type = TypeOfFlags(flags);
  if (!type) type = ProbeValueType(client, key, name, static_cast<uint32_t>(data.size()));
  const DecodedValue v = DecodeValue(type.value_or(win32::kRegBinary), data);
  json["data"] = ToHex(data, "");
  json["type"] = v.type_name;
  json["value"] = v.json;
  if (v.type_name == "REG_DWORD") json["dword"] = v.json;
  if (v.type_name == "REG_QWORD") json["qword"] = v.json;
  if (v.type_name == "REG_SZ" || v.type_name == "REG_EXPAND_SZ") json["string"] = v.json;
  return PrintOrJson(options, json, v.type_name + " " + v.text + "\n", kExitOk);
}

// Prints a reply by its command's layout; failure values give exit status 1.
int PrintReply(const GlobalOptions& options, uint16_t id, const HwResult& r) {
  const HwCommandInfo* info = id < HwCommands().size() ? &HwCommands()[id] : nullptr;
  const HwOutput output = info != nullptr ? info->output : HwOutput::kNone;
  Json::Value json = BaseJson(info, id, r);
  std::ostringstream text_out;
  const std::string label = info != nullptr && *info->name ? std::string(info->name) : "command " + std::to_string(id);

  if (!r.replied) {
    text_out << label << ": no reply (as designed); the connection stayed open\n";
  } else if (output == HwOutput::kText && !r.args.empty()) {
    const std::string dump = text::ToUtf8(text::FromUtf16LeLenient(r.args[0]));
    json["text"] = dump;
    text_out << dump;
  } else if (output == HwOutput::kResult && r.U32(0)) {
    json["result"] = *r.U32(0);
    if (*r.U32(0) != 0) return FailedReply(options, json, label + ": failed: error " + ErrorText(*r.U32(0)));
    text_out << label << ": done\n";
  } else if (output == HwOutput::kU32 && r.U32(0)) {
    json["value"] = *r.U32(0);
    if (*r.U32(0) == 0xFFFFFFFFu) return FailedReply(options, json, label + ": the service reports a failure (0xFFFFFFFF)");
    text_out << label << ": " << *r.U32(0) << "\n";
  } else if (output == HwOutput::kI32 && r.U32(0)) {
    const int32_t v = static_cast<int32_t>(*r.U32(0));
    json["value"] = v;
    if (v == -1) return FailedReply(options, json, label + ": unavailable (-1)");
    text_out << label << ": " << v << "\n";
  } else if (output == HwOutput::kU64 && r.U64(0)) {
    const uint64_t v = *r.U64(0);
    json["value"] = Json::UInt64(v);
    char hex[32];
    std::snprintf(hex, sizeof hex, "0x%016llx", static_cast<unsigned long long>(v));
    json["hex"] = hex;
    if (v == 0xFFFFFFFFFFFFFFFFull) return FailedReply(options, json, label + ": the service reports a failure (-1)");
    text_out << label << ": " << hex << " (" << v << ")\n";
  } else {
    text_out << label << ": reply with " << r.args.size() << " argument(s)\n";
    for (size_t i = 0; i < r.args.size(); ++i) {
      text_out << "  arg" << i << " (" << r.args[i].size() << " bytes): " << ToHex(r.args[i]) << "\n";
    }
  }
  return PrintOrJson(options, json, text_out.str(), kExitOk);
}

int Finish(const GlobalOptions& options, const HwClient& client, uint16_t id, const HwResult& r) {
  if (!r.ok()) return Failed(options, client, r);
  return PrintReply(options, id, r);
}

std::optional<std::vector<Bytes>> HexArgs(const std::vector<std::string>& words, size_t from) {
  std::vector<Bytes> args;
  for (size_t i = from; i < words.size(); ++i) {
    auto bytes = ParseHex(words[i]);
    if (!bytes) return std::nullopt;
    args.push_back(*bytes);
  }
  return args;
}

// Registry value types by name or number.
std::optional<uint32_t> ParseType(const std::string& s) {
  static const std::pair<const char*, uint32_t> kTypes[] = {
      {"none", 0}, {"sz", 1}, {"expand_sz", 2}, {"binary", 3}, {"dword", 4}, {"multi_sz", 7}, {"qword", 11}};
  for (const auto& [name, type] : kTypes) {
    if (s == name) return type;
  }
  auto n = ParseNumber(s);
  if (n && *n <= 0xFFFFFFFFu) return static_cast<uint32_t>(*n);
  return std::nullopt;
}

// Value data for a type: a number for dword/qword, text for the string
// types, hex bytes otherwise.
std::optional<Bytes> ParseData(uint32_t type, const std::string& s) {
  if (type == 4) {
    auto n = ParseNumber(s);
    if (!n) return std::nullopt;
    return pipe::U32Bytes(static_cast<uint32_t>(*n));
  }
  if (type == 11) {
    auto n = ParseNumber(s);
    if (!n) return std::nullopt;
    return pipe::U64Bytes(*n);
  }
  if (type == 1 || type == 2) return WideArg(text::FromUtf8(s));
  if (type == 7) {
    // Items separated by '|', each with its NUL, and the closing NUL.
    Bytes out;
    std::string item;
    std::istringstream in(s);
    while (std::getline(in, item, '|')) {
      Bytes b = WideArg(text::FromUtf8(item));
      out.insert(out.end(), b.begin(), b.end());
    }
    out.push_back(0);
    out.push_back(0);
    return out;
  }
  return ParseHex(s);
}

// RegGetValueW restriction flags by name or number.
std::optional<uint32_t> ParseFlags(const std::string& s) {
  static const std::pair<const char*, uint32_t> kFlags[] = {{"none", 0x1},     {"sz", 0x2},     {"expand_sz", 0x4},
                                                            {"binary", 0x8},   {"dword", 0x10}, {"multi_sz", 0x20},
                                                            {"qword", 0x40},   {"any", 0xFFFF}};
  for (const auto& [name, flags] : kFlags) {
    if (s == name) return flags;
  }
  auto n = ParseNumber(s);
  if (n && *n <= 0xFFFFFFFFu) return static_cast<uint32_t>(*n);
  return std::nullopt;
}

int RunReg(const GlobalOptions& options, const HwClient& client, const std::vector<std::string>& w) {
  if (w.size() < 2) return Usage("hw reg: missing subcommand");
  const std::string& sub = w[1];
  auto path = [&](size_t i) { return text::FromUtf8(w[i]); };
  if (sub == "create" || sub == "delete-tree") {
    if (w.size() != 3) return Usage("hw reg " + sub + ": expects <key-path>");
    const uint16_t id = sub == "create" ? 1 : 2;
    return Finish(options, client, id, sub == "create" ? client.RegCreateKey(path(2)) : client.RegDeleteTree(path(2)));
  }
  if (sub == "set" || sub == "update") {
    if (w.size() != 6) return Usage("hw reg " + sub + ": expects <key-path> <value-name> <type> <data>");
    auto type = ParseType(w[4]);
    if (!type) return Usage("unknown value type \"" + w[4] + "\"");
    auto data = ParseData(*type, w[5]);
    if (!data) return Usage("data \"" + w[5] + "\" does not fit type " + w[4]);
    const uint16_t id = sub == "set" ? 3 : 5;
    return Finish(options, client, id,
                  sub == "set" ? client.RegSetValue(path(2), path(3), *type, *data)
                               : client.RegUpdateValue(path(2), path(3), *type, *data));
  }
  if (sub == "delete") {
    if (w.size() != 4) return Usage("hw reg delete: expects <key-path> <value-name>");
    return Finish(options, client, 4, client.RegDeleteValue(path(2), path(3)));
  }
  if (sub == "get") {
    if (w.size() < 4 || w.size() > 7) {
      return Usage("hw reg get: expects <key-path> <value-name> [flags] [buffer-size] [default-data]");
    }
    uint32_t flags = 0xFFFF;
    uint32_t size = 4096;
    std::optional<Bytes> default_data;
    if (w.size() > 4) {
      auto f = ParseFlags(w[4]);
      if (!f) return Usage("unknown flags \"" + w[4] + "\"");
      flags = *f;
    }
    if (w.size() > 5) {
      auto n = ParseNumber(w[5]);
      if (!n || *n > 0xFFFFFFFFu) return Usage("bad buffer size \"" + w[5] + "\"");
      size = static_cast<uint32_t>(*n);
    }
    if (w.size() > 6) {
      // The default is typed like the value the flags ask for.
      const uint32_t type = flags == 0x2 ? 1 : flags == 0x10 ? 4 : flags == 0x40 ? 11 : flags == 0x4 ? 2 : 3;
      default_data = ParseData(type, w[6]);
      if (!default_data) return Usage("default data \"" + w[6] + "\" does not fit the flags");
    }
    const HwResult r = client.RegGetValue(path(2), path(3), flags, size, default_data);
    if (!r.ok()) return Failed(options, client, r);
    return RegGet(options, client, path(2), path(3), flags, r);
  }
  return Usage("hw reg: unknown subcommand \"" + sub + "\"");
}

int RunFirmware(const GlobalOptions& options, const HwClient& client, const std::vector<std::string>& w) {
  if (w.size() != 3) return Usage("hw fw: expects <command-name-or-number> <value>");
  const HwCommandInfo* info = FindHwCommand(w[1]);
  if (info == nullptr || (info->input != HwInput::kU32 && info->input != HwInput::kU64) ||
      (info->id >= 8 && info->id <= 12)) {
    return Usage("\"" + w[1] + "\" is not a firmware command");
  }
  auto value = ParseNumber(w[2]);
  if (!value) return Usage("bad value \"" + w[2] + "\"");
  return Finish(options, client, info->id, client.Firmware(*info, *value));
}

int RunGpu(const GlobalOptions& options, const HwClient& client, const std::vector<std::string>& w) {
  static const std::pair<const char*, uint16_t> kGpu[] = {
      {"count", velmont::kSvcCmdGPUGetCount},
      {"idle", velmont::kSvcCmdGPUGetIdleState},
      {"freq", velmont::kSvcCmdGPUGetFrequency},
      {"maxfreq", velmont::kSvcCmdGPUGetMaxFrequency},
      {"usage", velmont::kSvcCmdGPUGetUsage}};
  if (w.size() < 2 || w.size() > 3) return Usage("hw gpu: expects count|idle|freq|maxfreq|usage [index]");
  for (const auto& [name, id] : kGpu) {
    if (w[1] != name) continue;
    uint32_t index = 0;
    if (w.size() == 3) {
      if (id == 8 || id == 9) return Usage(std::string("hw gpu ") + name + " takes no index");
      auto n = ParseNumber(w[2]);
      if (!n || *n > 0xFFFFFFFFu) return Usage("bad GPU index \"" + w[2] + "\"");
      index = static_cast<uint32_t>(*n);
    }
    return Finish(options, client, id, client.Gpu(id, index));
  }
  return Usage("hw gpu: unknown query \"" + w[1] + "\"");
}

}  // namespace

std::string FirmwareCommandList() {
  std::string out = "Firmware commands (COMMAND: the name, with or without kSvcCmd/kSvcCmdWMI, or the number;\n"
                    "VALUE: the firmware's input word, decimal or 0x-hex; Set sends 64 bits, Get and\n"
                    "GetGamingSystemInformation send 32):\n";
  for (const HwCommandInfo& c : HwCommands()) {
    if (c.input == HwInput::kNone || (c.id >= velmont::kSvcCmdGPUGetCount && c.id <= velmont::kSvcCmdGPUGetUsage)) continue;
    std::string name = c.name;
    for (const char* prefix : {"kSvcCmdWMI", "kSvcCmd"}) {
      if (name.rfind(prefix, 0) == 0) {
        name = name.substr(std::string(prefix).size());
        break;
      }
    }
    char line[128];
    std::snprintf(line, sizeof line, "  %-2u %-34s in u%d, out u%d\n", c.id, name.c_str(),
                  c.input == HwInput::kU64 ? 64 : 32, c.output == HwOutput::kU64 ? 64 : 32);
    out += line;
  }
  return out;
}

int RunHw(const GlobalOptions& options, const std::vector<std::string>& w) {
  g_options = &options;
  g_command = "hw";
  for (size_t i = 0; i < w.size() && i < (w.size() > 0 && w[0] == "reg" ? 2u : 1u); ++i) g_command += " " + w[i];
  if (w.empty()) return Usage("hw: missing command");
  const HwClient client;
  const std::string& family = w[0];
  if (family == "dump") {
    auto args = HexArgs(w, 1);
    if (!args) return Usage("hw dump: arguments are hex byte strings such as 0a1b2c");
    return Finish(options, client, 0, client.Dump(*args));
  }
  if (family == "reg") return RunReg(options, client, w);
  if (family == "fw") return RunFirmware(options, client, w);
  if (family == "gpu") return RunGpu(options, client, w);
  if (family == "raw") {
    if (w.size() < 2) return Usage("hw raw: expects <id> [hex-args...]");
    auto id = ParseNumber(w[1]);
    if (!id || *id > 0xFFFF) return Usage("bad command id \"" + w[1] + "\"");
    auto args = HexArgs(w, 2);
    if (!args || args->size() > 255) return Usage("hw raw: up to 255 hex byte strings such as 0a1b2c");
    const uint16_t command = static_cast<uint16_t>(*id);
    return Finish(options, client, command, client.Send(command, *args));
  }
  return Usage("hw: unknown command \"" + family + "\"");
}

}  // namespace vantrel::ctl
