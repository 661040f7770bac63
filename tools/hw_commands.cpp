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
#include "common/text.h"
#include "common/win32_errors.h"
#include "tools/commands.h"
#include "tools/hw_client.h"

namespace vantrel::ctl {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int Usage(const std::string& message) {
  std::cerr << "vantrelctl: " << message << "\n\n" << HwUsage();
  return kExitUsage;
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
  const std::string pipe = text::ToUtf8(client.pipe_name());
  std::string what = "the hardware service did not answer on pipe \"" + pipe + "\": error " + ErrorText(r.error);
  if (r.error == win32::kErrorFileNotFound) what += "; is VantrelSysHardwareService running?";
  if (r.error == win32::kErrorBrokenPipe || r.error == win32::kErrorNoData ||
      r.error == win32::kErrorPipeNotConnected) {
    what += "; the server ended the connection without a reply (unknown command or malformed request)";
  }
  if (options.json) {
    Json::Value out;
    out["ok"] = false;
    out["error"] = r.error;
    out["message"] = what;
    std::cout << out.toStyledString();
  } else {
    std::cerr << "vantrelctl: " << what << "\n";
  }
  return kExitFailed;
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

// Prints a reply by its command's layout.
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
    text_out << label << ": result " << ErrorText(*r.U32(0)) << "\n";
  } else if (output == HwOutput::kResultAndData && r.args.size() == 2 && r.U32(0)) {
    const Bytes& data = r.args[1];
    json["result"] = *r.U32(0);
    json["data"] = ToHex(data, "");
    text_out << label << ": result " << ErrorText(*r.U32(0)) << "\n";
    text_out << "data (" << data.size() << " bytes): " << ToHex(data) << "\n";
    if (data.size() == 4) {
      json["dword"] = pipe::ReadU32Le(data.data());
      text_out << "as DWORD: " << pipe::ReadU32Le(data.data()) << "\n";
    } else if (data.size() == 8) {
      json["qword"] = Json::UInt64(pipe::ReadU64Le(data.data()));
      text_out << "as QWORD: " << pipe::ReadU64Le(data.data()) << "\n";
    } else if (data.size() >= 2 && data.size() % 2 == 0 && data[data.size() - 1] == 0 && data[data.size() - 2] == 0) {
      const std::string s = text::ToUtf8(text::FromUtf16LeLenient(data));
      json["string"] = s;
      text_out << "as string: \"" << s << "\"\n";
    }
  } else if (output == HwOutput::kU32 && r.U32(0)) {
    json["value"] = *r.U32(0);
    text_out << label << ": " << *r.U32(0);
    if (*r.U32(0) == 0xFFFFFFFFu) text_out << " (0xFFFFFFFF: failure)";
    text_out << "\n";
  } else if (output == HwOutput::kI32 && r.U32(0)) {
    const int32_t v = static_cast<int32_t>(*r.U32(0));
    json["value"] = v;
    text_out << label << ": " << v << (v == -1 ? " (unavailable)" : "") << "\n";
  } else if (output == HwOutput::kU64 && r.U64(0)) {
    const uint64_t v = *r.U64(0);
    json["value"] = Json::UInt64(v);
    char hex[32];
    std::snprintf(hex, sizeof hex, "0x%016llx", static_cast<unsigned long long>(v));
    json["hex"] = hex;
    text_out << label << ": " << hex << " (" << v << ")";
    if (v == 0xFFFFFFFFFFFFFFFFull) text_out << " (-1: failure)";
    text_out << "\n";
  } else {
    text_out << label << ": reply with " << r.args.size() << " argument(s)\n";
    for (size_t i = 0; i < r.args.size(); ++i) {
      text_out << "  arg" << i << " (" << r.args[i].size() << " bytes): " << ToHex(r.args[i]) << "\n";
    }
  }
  if (options.json) {
    std::cout << json.toStyledString();
  } else {
    std::cout << text_out.str();
  }
  return kExitOk;
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
    return Finish(options, client, 6, client.RegGetValue(path(2), path(3), flags, size, default_data));
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
      {"count", 8}, {"idle", 9}, {"freq", 10}, {"maxfreq", 11}, {"usage", 12}};
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

std::string HwUsage() {
  return "Hardware service (pipe commands):\n"
         "  hw dump [hex-args...]                      echo the arguments as a text dump (command 0)\n"
         "  hw reg create <key-path>                   create or open a key (1)\n"
         "  hw reg delete-tree <key-path>              delete a key and its subtree (2)\n"
         "  hw reg set <key-path> <name> <type> <data> write a value, creating the key (3)\n"
         "  hw reg delete <key-path> <name>            delete a value (4)\n"
         "  hw reg update <key-path> <name> <type> <data>  write a value only if it exists (5)\n"
         "  hw reg get <key-path> <name> [flags] [size] [default]  read a value (6)\n"
         "      key-path: ROOT\\sub\\key with ROOT one of HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER,\n"
         "                HKEY_CURRENT_CONFIG, HKEY_CLASSES_ROOT, HKEY_USERS\n"
         "      type: none|sz|expand_sz|binary|dword|multi_sz|qword|<number>; data: a number for\n"
         "            dword/qword, text for sz (multi_sz: items joined by '|'), hex bytes otherwise\n"
         "      flags: any|sz|expand_sz|binary|dword|multi_sz|qword|none|<number> (default any),\n"
         "             size: buffer bytes (default 4096)\n"
         "  hw fw <command-name-or-number> <value>     a firmware command (7, 13-18, 24-27, 30, 31)\n"
         "  hw gpu count|idle|freq|maxfreq|usage [index]  GPU queries (8-12)\n"
         "  hw raw <id> [hex-args...]                  any command number with raw arguments\n";
}

int RunHwCommand(const GlobalOptions& options, const std::vector<std::string>& words_in) {
  std::vector<std::string> w = words_in;
  if (!w.empty() && w[0] == "hw") w.erase(w.begin());
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
