// vantrelctl's machine-control commands: profile, fan, fan-curve,
// battery-limit and kbd-light, each spoken as firmware commands in the words
// of common/fw_encoding.h. The hardware service on Linux answers them with the
// "linux" firmware backend; elsewhere they get the failure value.
#include <json/json.h>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <sstream>

#include "common/fw_encoding.h"
#include "common/text.h"
#include "tools/commands.h"
#include "tools/hw_client.h"

namespace vantrel::ctl {
namespace {

namespace code = fwcode;

constexpr uint16_t kSetFanBehavior = velmont::kSvcCmdWMISetGamingFanGroupBehavior;
constexpr uint16_t kGetFanBehavior = velmont::kSvcCmdWMIGetGamingFanGroupBehavior;
constexpr uint16_t kSetFanSpeed = velmont::kSvcCmdWMISetGamingFanGroupSpeed;
constexpr uint16_t kGetFanSpeed = velmont::kSvcCmdWMIGetGamingFanGroupSpeed;
constexpr uint16_t kSetFanTable = velmont::kSvcCmdWMISetGamingFanTable;
constexpr uint16_t kGetFanTable = velmont::kSvcCmdWMIGetGamingFanTable;
constexpr uint16_t kSetProfile = velmont::kSvcCmdWMISetGamingProfileConfiguration;
constexpr uint16_t kGetProfile = velmont::kSvcCmdWMIGetGamingProfileConfiguration;
constexpr uint16_t kSetSetting = velmont::kSvcCmdWMISetGamingMiscSetting;
constexpr uint16_t kGetSetting = velmont::kSvcCmdWMIGetGamingMiscSetting;

// Set commands answer 32 bits, Get commands 64.
std::optional<uint64_t> AnswerOf(const HwCommandInfo& info, const HwResult& r) {
  if (!r.ok()) return std::nullopt;
  const std::optional<uint64_t> v = info.output == HwOutput::kU32 ? std::optional<uint64_t>(r.U32(0)) : r.U64(0);
  if (!v || *v == velmont::kFirmwareFailure) return std::nullopt;
  return v;
}

// A firmware call without reporting anything: nullopt on any failure.
std::optional<uint64_t> QuietGet(const HwClient& hw, uint16_t id, uint64_t input) {
  const HwCommandInfo& info = HwCommands()[id];
  return AnswerOf(info, hw.Firmware(info, input));
}

// Something that ends the command: a usage error or a failure, already reported.
struct Stop {
  int status;
};

class Control {
 public:
  Control(const GlobalOptions& options, std::string command) : options_(options), command_(std::move(command)) {}

  // One firmware command; throws Stop when the service does not answer or
  // answers with the failure value.
  uint64_t Call(uint16_t id, uint64_t input, const std::string& what) const {
    const HwCommandInfo& info = HwCommands()[id];
    const HwResult r = client_.Firmware(info, input);
    if (!r.ok()) {
      throw Stop{ReportFailure(options_, kExitFailed, "no-answer",
                               "the hardware service did not answer (error " + std::to_string(r.error) + ")",
                               "is VantrelSysHardwareService running?")};
    }
    const std::optional<uint64_t> value = AnswerOf(info, r);
    if (!value) {
      throw Stop{ReportFailure(options_, kExitFailed, "failed", what + ": refused or not supported on this machine",
                               "the service's log says why; on Linux the firmware backend must be \"linux\"")};
    }
    return *value;
  }

  // The same without reporting: nullopt when not answered or refused.
  std::optional<uint64_t> TryCall(uint16_t id, uint64_t input) const { return QuietGet(client_, id, input); }

  [[noreturn]] void Fail(const std::string& kind, const std::string& message) const {
    throw Stop{ReportFailure(options_, kExitFailed, kind, message)};
  }

  [[noreturn]] void Usage(const std::string& message) const {
    throw Stop{UsageError(options_, message, command_)};
  }

  int Print(const Json::Value& json, const std::string& text) const {
    if (options_.json) {
      Json::Value out = json;
      out["ok"] = true;
      std::cout << out.toStyledString();
    } else {
      std::cout << text;
    }
    return kExitOk;
  }

 private:
  const GlobalOptions& options_;
  std::string command_;
  HwClient client_;
};

std::optional<unsigned long> Number(const std::string& s, unsigned long max) {
  if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  const unsigned long v = std::strtoul(s.c_str(), nullptr, 10);
  if (v > max) return std::nullopt;
  return v;
}

// The ids set in a mask of bit ids.
std::vector<uint8_t> Bits(uint64_t mask) {
  std::vector<uint8_t> out;
  for (uint8_t i = 1; i < 64; ++i) {
    if (mask & (uint64_t{1} << i)) out.push_back(i);
  }
  return out;
}

int Profile(const Control& c, const std::vector<std::string>& args) {
  if (!args.empty()) {
    const auto id = code::ProfileId(args[0]);
    if (!id) c.Usage("unknown profile \"" + args[0] + "\"");
    c.Call(kSetProfile, *id, "setting the profile");
    Json::Value json;
    json["profile"] = args[0];
    return c.Print(json, "profile: " + args[0] + "\n");
  }
  const auto current = code::ProfileName(static_cast<uint8_t>(c.Call(kGetProfile, code::kProfileGetCurrent, "profile")));
  Json::Value json;
  json["profile"] = std::string(current);
  json["supported"] = Json::Value(Json::arrayValue);
  std::string list;
  for (uint8_t id : Bits(c.Call(kGetProfile, code::kProfileGetChoices, "profile choices"))) {
    json["supported"].append(std::string(code::ProfileName(id)));
    list += " " + std::string(code::ProfileName(id));
  }
  return c.Print(json, "profile: " + std::string(current) + "\nsupported:" + list + "\n");
}

Json::Value FanState(const Control& c, uint8_t fan, std::string* text) {
  const uint64_t mode = c.Call(kGetFanBehavior, fan, "fan " + std::to_string(fan) + " mode");
  const code::FanReading r = code::DecodeFanReading(c.Call(kGetFanSpeed, fan, "fan " + std::to_string(fan) + " speed"));
  Json::Value json;
  json["fan"] = fan;
  json["mode"] = std::string(code::FanModeName(mode));
  json["percent"] = r.percent;
  json["rpm"] = r.rpm;
  *text += "fan " + std::to_string(fan) + ": " + std::string(code::FanModeName(mode)) + ", duty " + std::to_string(r.percent) + " %, " +
           std::to_string(r.rpm) + " rpm\n";
  return json;
}

int Fan(const Control& c, std::vector<std::string> args) {
  std::vector<uint8_t> fans = Bits(c.Call(kGetFanBehavior, 0, "the fan list"));
  // "fan VALUE" sets every fan; "fan N VALUE" one of them.
  if (args.size() == 2) {
    const auto n = Number(args[0], 255);
    if (!n || *n == 0) c.Usage("bad fan number \"" + args[0] + "\"");
    fans = {static_cast<uint8_t>(*n)};
    args.erase(args.begin());
  }
  if (fans.empty()) c.Fail("unsupported", "this machine has no fan the service can steer");
  std::string text;
  Json::Value json;
  json["fans"] = Json::Value(Json::arrayValue);
  for (uint8_t fan : fans) {
    if (!args.empty()) {
      const std::string what = "fan " + std::to_string(fan);
      if (args[0] == "auto" || args[0] == "full") {
        const auto mode = args[0] == "auto" ? code::FanMode::kAuto : code::FanMode::kFull;
        c.Call(kSetFanBehavior, code::EncodeFanBehavior({fan, mode}), what);
      } else {
        const auto percent = Number(args[0], 100);
        if (!percent) c.Usage("expects auto, full or a duty percent 0..100");
        c.Call(kSetFanSpeed, code::EncodeFanSpeed({fan, static_cast<uint8_t>(*percent)}), what);
      }
    }
    json["fans"].append(FanState(c, fan, &text));
  }
  return c.Print(json, text);
}

// The fan's whole curve, read through the service's cursor: select point 1,
// then read on.
std::vector<code::CurvePoint> ReadCurve(const Control& c, uint8_t n, const std::string& what) {
  c.Call(kSetFanTable, code::EncodeCurveSet({n, 0, 1, 0, 0}), what);
  std::vector<code::CurvePoint> points;
  uint8_t count = 1;
  for (uint8_t i = 1; i <= count; ++i) {
    const code::CurvePoint p = code::DecodeCurveRead(c.Call(kGetFanTable, 0, what));
    if (p.fan != n || p.point != i) c.Fail("busy", "another client moved the curve reader; try again");
    count = p.count;
    points.push_back(p);
  }
  return points;
}

// Writes every point or none: the count is checked before the first write,
// and when the driver refuses a point the ones written before it get their
// old values back.
void WriteCurve(const Control& c, uint8_t n, const std::vector<code::CurvePoint>& wanted, const std::string& what) {
  const std::vector<code::CurvePoint> before = ReadCurve(c, n, what);
  if (wanted.size() > before.size()) {
    c.Fail("failed", what + " has " + std::to_string(before.size()) + " points; " + std::to_string(wanted.size()) +
                         " given");
  }
  for (size_t i = 0; i < wanted.size(); ++i) {
    if (c.TryCall(kSetFanTable, code::EncodeCurveSet(wanted[i]))) continue;
    for (size_t j = 0; j < i; ++j) {
      c.TryCall(kSetFanTable, code::EncodeCurveSet({n, before[j].point, before[j].celsius, before[j].percent, 0}));
    }
    c.Fail("failed", what + " point " + std::to_string(i + 1) +
                         ": refused or not supported on this machine; the curve was left as it was");
  }
}

int FanCurve(const Control& c, const std::vector<std::string>& args) {
  const auto fan = args.empty() ? std::nullopt : Number(args[0], 255);
  if (!fan || *fan == 0) c.Usage("expects a fan number, then show or set TEMP:PERCENT...");
  const uint8_t n = static_cast<uint8_t>(*fan);
  const std::string what = "fan " + std::to_string(n) + " curve";
  if (args.size() >= 2 && args[1] == "set") {
    if (args.size() == 2) c.Usage("set expects TEMP:PERCENT pairs");
    std::vector<code::CurvePoint> wanted;
    for (size_t i = 2; i < args.size(); ++i) {
      const size_t colon = args[i].find(':');
      const auto temp = Number(args[i].substr(0, colon), 255);
      const auto percent = colon == std::string::npos ? std::nullopt : Number(args[i].substr(colon + 1), 100);
      if (!temp || !percent || wanted.size() >= 255) c.Usage("bad curve point \"" + args[i] + "\" (TEMP:PERCENT)");
      wanted.push_back(
          {n, static_cast<uint8_t>(i - 1), static_cast<uint8_t>(*temp), static_cast<uint8_t>(*percent), 0});
    }
    WriteCurve(c, n, wanted, what);
  } else if (args.size() != 2 || args[1] != "show") {
    c.Usage("expects show or set TEMP:PERCENT...");
  }
  Json::Value json;
  json["fan"] = n;
  json["points"] = Json::Value(Json::arrayValue);
  std::string text = what + ":";
  for (const code::CurvePoint& p : ReadCurve(c, n, what)) {
    Json::Value point;
    point["celsius"] = p.celsius;
    point["percent"] = p.percent;
    json["points"].append(point);
    text += " " + std::to_string(p.celsius) + ":" + std::to_string(p.percent);
  }
  return c.Print(json, text + "\n");
}

// battery-limit and kbd-light: one setting word each.
int Setting(const Control& c, code::Setting setting, const std::vector<std::string>& args, const char* label) {
  const uint8_t id = static_cast<uint8_t>(setting);
  if (!args.empty()) {
    const auto v = Number(args[0], 0xFFFF);
    if (!v) c.Usage("bad value \"" + args[0] + "\"");
    c.Call(kSetSetting, code::EncodeSetting({id, static_cast<uint16_t>(*v)}), label);
  }
  const code::SettingReading r = code::DecodeSettingReading(c.Call(kGetSetting, id, label));
  Json::Value json;
  json["value"] = r.value;
  json["maximum"] = r.maximum;
  const unsigned low = setting == code::Setting::kBatteryChargeLimit ? 1 : 0;
  json["minimum"] = low;
  return c.Print(json, std::string(label) + ": " + std::to_string(r.value) + " (" + std::to_string(low) + ".." +
                           std::to_string(r.maximum) + ")\n");
}

}  // namespace

std::string MachineControlSummary() {
  const HwClient hw;
  std::string out;
  if (auto id = QuietGet(hw, kGetProfile, code::kProfileGetCurrent); id && *id <= 0xFF) {
    out = "profile " + std::string(code::ProfileName(static_cast<uint8_t>(*id)));
  }
  const auto fans = QuietGet(hw, kGetFanBehavior, 0);
  for (uint8_t fan : Bits(fans.value_or(0))) {
    const auto mode = QuietGet(hw, kGetFanBehavior, fan);
    const auto speed = QuietGet(hw, kGetFanSpeed, fan);
    if (!mode || !speed) continue;
    out += std::string(out.empty() ? "" : ", ") + "fan " + std::to_string(fan) + " " + std::string(code::FanModeName(*mode)) + " " +
           std::to_string(code::DecodeFanReading(*speed).percent) + " %";
  }
  return out;
}

int RunControl(const GlobalOptions& options, const std::vector<std::string>& words) {
  if (words.empty()) return UsageError(options, "missing command", "");
  const Control c(options, words[0]);
  const std::vector<std::string> args(words.begin() + 1, words.end());
  // Other firmware reads these words its own way (Windows' is opaque to us):
  // never send them to it. A first call makes the service publish its backend.
  const HwClient hw;
  QuietGet(hw, kGetProfile, code::kProfileGetCurrent);
  if (!FirmwareBackendIs(hw, L"linux")) {
    return ReportFailure(options, kExitFailed, "unsupported",
                         "the hardware service does not run the \"linux\" firmware backend",
                         "set FirmwareBackend=linux in /etc/vantrel/vantrel.conf; elsewhere use 'hw fw'");
  }
  try {
    if (words[0] == "profile") return Profile(c, args);
    if (words[0] == "fan") return Fan(c, args);
    if (words[0] == "fan-curve") return FanCurve(c, args);
    if (words[0] == "battery-limit") return Setting(c, code::Setting::kBatteryChargeLimit, args, "battery limit");
    if (words[0] == "kbd-light") return Setting(c, code::Setting::kKeyboardBacklight, args, "keyboard light");
  } catch (const Stop& stop) {
    return stop.status;
  }
  return UsageError(options, "unknown command \"" + words[0] + "\"", "");
}

}  // namespace vantrel::ctl
