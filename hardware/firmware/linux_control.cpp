#include "hardware/firmware/linux_control.h"

#include <algorithm>
#include <vector>

#include "common/diag_log.h"
#include "common/fw_encoding.h"
#include "common/text.h"
#include "hardware/firmware/fan_ledger.h"

namespace velmont::firmware {
namespace {

namespace code = vantrel::fwcode;

constexpr wchar_t kLogFunction[] = L"velmont::firmware::LinuxFirmware";
constexpr uint64_t kDone = 0;
constexpr int kDefaultAutoEnable = 2;
// Above this a curve point is more likely a typo than a choice; the drivers'
// own limits are checked by the driver on write.
constexpr uint8_t kMaxCurveCelsius = 120;

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < line.size()) {
    const size_t end = std::min(line.find(' ', i), line.size());
    if (end > i) out.push_back(line.substr(i, end - i));
    i = end + 1;
  }
  return out;
}

std::wstring Wide(const std::string& s) { return vantrel::text::FromUtf8(s); }

// Longer than any record change takes; a holder stalled past it is treated as
// gone wrong, and the change is refused rather than made unrecorded.
constexpr std::chrono::seconds kRecordLockWait{5};

class RecordLock {
 public:
  explicit RecordLock(StateFile& file) : file_(file), held_(file.Lock(kRecordLockWait)) {
    if (!held_) vantrel::Log(vantrel::kLogWarning, kLogFunction, L"the fan record stayed locked by another process");
  }
  ~RecordLock() {
    if (held_) file_.Unlock();
  }
  RecordLock(const RecordLock&) = delete;
  RecordLock& operator=(const RecordLock&) = delete;
  bool held() const { return held_; }

 private:
  StateFile& file_;
  bool held_;
};

}  // namespace

std::optional<uint64_t> LinuxFirmware::Call(std::wstring_view method, std::optional<uint64_t> input) {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t in = input.value_or(0);
  if (method == L"SetGamingProfile") return SetProfile(in);
  if (method == L"GetGamingProfile") return GetProfile(in);
  if (method == L"SetGamingFanBehavior") return SetFanBehavior(in);
  if (method == L"GetGamingFanBehavior") return GetFanBehavior(in);
  if (method == L"SetGamingFanSpeed") return SetFanSpeed(in);
  if (method == L"GetGamingFanSpeed") return GetFanSpeed(in);
  if (method == L"SetGamingFanTable") return SetFanTable(in);
  if (method == L"GetGamingFanTable") return GetFanTable();
  if (method == L"SetGamingMiscSetting" || method == L"SetFunction") return SetSetting(in);
  if (method == L"GetGamingMiscSetting" || method == L"GetFunction") return GetSetting(in);
  return std::nullopt;
}

std::optional<uint64_t> LinuxFirmware::Refuse(const std::wstring& why) {
  vantrel::Log(vantrel::kLogWarning, kLogFunction, why);
  return std::nullopt;
}

bool LinuxFirmware::Fail(const std::wstring& why) {
  Refuse(why);
  return false;
}

bool LinuxFirmware::Write(const std::string& path, const std::string& value) {
  std::string error;
  if (sys_.Write(path, value, &error)) return true;
  Refuse(L"writing " + Wide(value) + L" to " + Wide(path) + L" failed: " + Wide(error));
  return false;
}

// ---- platform profile ----

std::optional<uint64_t> LinuxFirmware::SetProfile(uint64_t in) {
  const std::string_view name = in <= 0xFF ? code::ProfileName(static_cast<uint8_t>(in)) : "";
  if (name.empty()) return Refuse(L"no such platform profile id: " + std::to_wstring(in));
  const auto choices = sys_.Read(kPlatformProfileChoices);
  if (!choices) return Refuse(L"the machine has no platform profile");
  const std::vector<std::string> offered = Words(*choices);
  if (std::find(offered.begin(), offered.end(), name) == offered.end()) {
    return Refuse(L"the driver does not offer the platform profile " + Wide(std::string(name)));
  }
  if (daemon_ != nullptr && daemon_->Present()) return SetThroughDaemon(name);
  if (!Write(kPlatformProfile, std::string(name))) return std::nullopt;
  return kDone;
}

std::optional<uint64_t> LinuxFirmware::SetThroughDaemon(std::string_view name) {
  // The daemon knows three profiles and maps them onto the driver's choices itself.
  const std::string daemon_name = name == "low-power" ? "power-saver" : std::string(name);
  if (daemon_name != "power-saver" && daemon_name != "balanced" && daemon_name != "performance") {
    return Refuse(L"the power-profile daemon owns the profile and has no " + Wide(std::string(name)));
  }
  std::string error;
  if (!daemon_->SetActive(daemon_name, &error)) {
    return Refuse(L"the power-profile daemon refused " + Wide(daemon_name) + L": " + Wide(error));
  }
  return kDone;
}

std::optional<uint64_t> LinuxFirmware::GetProfile(uint64_t in) {
  if (in == code::kProfileGetCurrent) {
    const auto current = sys_.Read(kPlatformProfile);
    const auto id = current ? code::ProfileId(*current) : std::nullopt;
    if (!id) return std::nullopt;
    return *id;
  }
  if (in != code::kProfileGetChoices) return std::nullopt;
  const auto choices = sys_.Read(kPlatformProfileChoices);
  if (!choices) return std::nullopt;
  uint64_t mask = 0;
  for (const std::string& name : Words(*choices)) {
    if (auto id = code::ProfileId(name)) mask |= uint64_t{1} << *id;
  }
  return mask;
}

// ---- fans ----

std::optional<FanChannel> LinuxFirmware::Fan(uint64_t number) {
  const std::vector<FanChannel> fans = FindFans(sys_);
  if (number < 1 || number > fans.size()) {
    Refuse(L"no fan " + std::to_wstring(number) + L" (the machine has " + std::to_wstring(fans.size()) + L")");
    return std::nullopt;
  }
  return fans[number - 1];
}

bool LinuxFirmware::LeaveAuto(const FanChannel& fan, const char* enable_value) {
  if (closed_) return Fail(L"the service is stopping; the fan stays in automatic mode");
  RecordLock lock(state_);
  if (!lock.held()) return Fail(L"the fan stays as it is");
  const auto current = ReadInteger(sys_, fan.Attr("_enable"));
  if (!current) return Fail(L"cannot read " + Wide(fan.Attr("_enable")));
  std::vector<ManualFan> record = ParseFanLedger(state_.Load());
  ManualFan entry{fan.hwmon, fan.pwm, kDefaultAutoEnable, fan.chip};
  if (*current >= kDefaultAutoEnable && *current <= 255) entry.restore = static_cast<int>(*current);
  const auto known = std::find_if(record.begin(), record.end(), [&](const ManualFan& m) { return m.SameChannel(entry); });
  if (known == record.end()) {
    record.push_back(entry);
    if (!state_.Save(FormatFanLedger(record))) {
      return Fail(L"cannot record the fan's automatic mode; it stays as it is");
    }
  }
  return Write(fan.Attr("_enable"), enable_value);
}

bool LinuxFirmware::BackToAuto(const FanChannel& fan) {
  RecordLock lock(state_);
  if (!lock.held()) return Fail(L"the fan stays as it is");
  std::vector<ManualFan> record = ParseFanLedger(state_.Load());
  const ManualFan probe{fan.hwmon, fan.pwm, kDefaultAutoEnable, fan.chip};
  const auto known = std::find_if(record.begin(), record.end(), [&](const ManualFan& m) { return m.SameChannel(probe); });
  const int value = known != record.end() ? known->restore : kDefaultAutoEnable;
  if (!Write(fan.Attr("_enable"), std::to_string(value))) return false;
  if (known != record.end()) {
    record.erase(known);
    state_.Save(FormatFanLedger(record));
  }
  return true;
}

std::optional<uint64_t> LinuxFirmware::SetFanBehavior(uint64_t in) {
  const auto behavior = code::DecodeFanBehavior(in);
  if (!behavior) return Refuse(L"malformed fan behaviour word");
  const auto fan = Fan(behavior->fan);
  if (!fan) return std::nullopt;
  bool ok = false;
  switch (behavior->mode) {
    case code::FanMode::kAuto: ok = BackToAuto(*fan); break;
    case code::FanMode::kFull: ok = LeaveAuto(*fan, "0"); break;
    case code::FanMode::kManual: ok = LeaveAuto(*fan, "1"); break;
  }
  return ok ? std::optional<uint64_t>(kDone) : std::nullopt;
}

std::optional<uint64_t> LinuxFirmware::GetFanBehavior(uint64_t in) {
  if (in == 0) {
    const size_t count = std::min<size_t>(FindFans(sys_).size(), 62);
    return count == 0 ? 0 : ((uint64_t{1} << (count + 1)) - 2);  // bits 1..count
  }
  const auto fan = Fan(in);
  if (!fan) return std::nullopt;
  const auto enable = ReadInteger(sys_, fan->Attr("_enable"));
  if (!enable || *enable < 0) return std::nullopt;
  const code::FanMode mode = *enable == 0   ? code::FanMode::kFull
                             : *enable == 1 ? code::FanMode::kManual
                                            : code::FanMode::kAuto;
  return static_cast<uint64_t>(mode);
}

std::optional<uint64_t> LinuxFirmware::SetFanSpeed(uint64_t in) {
  const auto speed = code::DecodeFanSpeed(in);
  if (!speed) return Refuse(L"malformed fan speed word (duty above 100 %?)");
  const auto fan = Fan(speed->fan);
  if (!fan) return std::nullopt;
  // A duty written while the driver is in charge is ignored or refused.
  if (ReadInteger(sys_, fan->Attr("_enable")) != 1 && !LeaveAuto(*fan, "1")) return std::nullopt;
  if (!Write(fan->Attr(""), std::to_string(code::PercentToPwm(speed->percent)))) return std::nullopt;
  return kDone;
}

std::optional<uint64_t> LinuxFirmware::GetFanSpeed(uint64_t in) {
  const auto fan = Fan(in);
  if (!fan) return std::nullopt;
  const auto pwm = ReadInteger(sys_, fan->Attr(""));
  if (!pwm || *pwm < 0 || *pwm > 255) return std::nullopt;
  const auto rpm = ReadInteger(sys_, fan->hwmon + "/fan" + std::to_string(fan->pwm) + "_input");
  code::FanReading reading{code::PwmToPercent(static_cast<uint8_t>(*pwm)), 0};
  if (rpm && *rpm > 0) reading.rpm = static_cast<uint32_t>(std::min<int64_t>(*rpm, 0xFFFFFF));
  return code::EncodeFanReading(reading);
}

// ---- fan curve ----

std::optional<uint64_t> LinuxFirmware::SetFanTable(uint64_t in) {
  const auto point = code::DecodeCurveSet(in);
  if (!point) return Refuse(L"malformed fan table word");
  const auto fan = Fan(point->fan);
  if (!fan) return std::nullopt;
  if (fan->curve_points == 0) return Refuse(L"fan " + std::to_wstring(point->fan) + L" has no curve");
  if (point->point == 0) {
    const uint8_t first = point->celsius == 0 ? 1 : point->celsius;  // the point to read next
    if (first > fan->curve_points) return Refuse(L"no such curve point: " + std::to_wstring(first));
    cursor_fan_ = point->fan;
    cursor_point_ = first;
    return kDone;
  }
  if (point->point > fan->curve_points) return Refuse(L"no such curve point: " + std::to_wstring(point->point));
  if (point->celsius > kMaxCurveCelsius) return Refuse(L"curve temperature out of range");
  // A point is its two attributes: when the driver refuses the duty, the
  // temperature goes back to what it was, so no half-written point is left.
  const std::string temp_attr = fan->PointAttr(point->point, "temp");
  const auto old_temp = sys_.Read(temp_attr);
  if (!old_temp) return Refuse(L"cannot read " + Wide(temp_attr));
  if (!Write(temp_attr, std::to_string(point->celsius * 1000))) return std::nullopt;
  if (!Write(fan->PointAttr(point->point, "pwm"), std::to_string(code::PercentToPwm(point->percent)))) {
    Write(temp_attr, *old_temp);
    return std::nullopt;
  }
  return kDone;
}

std::optional<uint64_t> LinuxFirmware::GetFanTable() {
  const auto fan = Fan(cursor_fan_);
  if (!fan || fan->curve_points == 0) return std::nullopt;
  if (cursor_point_ > fan->curve_points) cursor_point_ = 1;
  const auto milli = ReadInteger(sys_, fan->PointAttr(cursor_point_, "temp"));
  const auto pwm = ReadInteger(sys_, fan->PointAttr(cursor_point_, "pwm"));
  if (!milli || *milli < 0 || *milli > 255000 || !pwm || *pwm < 0 || *pwm > 255) return std::nullopt;
  const code::CurvePoint out{cursor_fan_, cursor_point_, static_cast<uint8_t>(*milli / 1000),
                             code::PwmToPercent(static_cast<uint8_t>(*pwm)),
                             static_cast<uint8_t>(fan->curve_points)};
  cursor_point_ = static_cast<uint8_t>(cursor_point_ % fan->curve_points + 1);
  return code::EncodeCurveRead(out);
}

// ---- battery limit and keyboard light ----

std::optional<uint64_t> LinuxFirmware::SetSetting(uint64_t in) {
  const auto s = code::DecodeSetting(in);
  if (!s) return Refuse(L"malformed setting word");
  if (s->setting == static_cast<uint8_t>(code::Setting::kBatteryChargeLimit)) {
    const std::string path = FindChargeLimit(sys_);
    if (path.empty()) return Refuse(L"the machine has no battery charge limit");
    // 0 would stop charging altogether: not a limit anyone means.
    if (s->value < 1 || s->value > 100) return Refuse(L"charge limit out of range 1..100");
    return Write(path, std::to_string(s->value)) ? std::optional<uint64_t>(kDone) : std::nullopt;
  }
  if (s->setting == static_cast<uint8_t>(code::Setting::kKeyboardBacklight)) {
    const std::string dir = FindKeyboardLight(sys_);
    const auto max = dir.empty() ? std::nullopt : ReadInteger(sys_, dir + "/max_brightness");
    if (!max) return Refuse(L"the machine has no keyboard backlight");
    if (s->value > *max) return Refuse(L"keyboard light level above " + std::to_wstring(*max));
    return Write(dir + "/brightness", std::to_string(s->value)) ? std::optional<uint64_t>(kDone) : std::nullopt;
  }
  return Refuse(L"no such setting: " + std::to_wstring(s->setting));
}

std::optional<uint64_t> LinuxFirmware::GetSetting(uint64_t in) {
  const std::string limit = FindChargeLimit(sys_);
  const std::string light = FindKeyboardLight(sys_);
  std::optional<int64_t> value, max;
  if (in == 0) {
    uint64_t mask = 0;
    if (!limit.empty()) mask |= uint64_t{1} << static_cast<int>(code::Setting::kBatteryChargeLimit);
    if (!light.empty()) mask |= uint64_t{1} << static_cast<int>(code::Setting::kKeyboardBacklight);
    return mask;
  }
  if (in == static_cast<uint8_t>(code::Setting::kBatteryChargeLimit) && !limit.empty()) {
    value = ReadInteger(sys_, limit);
    max = 100;
  } else if (in == static_cast<uint8_t>(code::Setting::kKeyboardBacklight) && !light.empty()) {
    value = ReadInteger(sys_, light + "/brightness");
    max = ReadInteger(sys_, light + "/max_brightness");
  }
  if (!value || !max || *value < 0 || *max < 0 || *value > 0xFFFF || *max > 0xFFFF) return std::nullopt;
  return code::EncodeSettingReading({static_cast<uint16_t>(*value), static_cast<uint16_t>(*max)});
}

// ---- safety ----

void LinuxFirmware::RestoreFans() {
  std::lock_guard<std::mutex> lock(mutex_);
  RecordLock record(state_);
  if (record.held()) RestoreLocked();
}

void LinuxFirmware::RestoreFansAndClose() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  RecordLock record(state_);
  if (record.held()) RestoreLocked();
}

void LinuxFirmware::RestoreFansUnlessRunning(const std::function<bool()>& running) {
  std::lock_guard<std::mutex> lock(mutex_);
  RecordLock record(state_);
  if (record.held() && !running()) RestoreLocked();
}

void LinuxFirmware::RestoreLocked() {
  std::vector<ManualFan> left;
  for (const ManualFan& fan : ParseFanLedger(state_.Load())) {
    // After a reboot the number may name another device: leave that one be.
    if (sys_.Read(fan.hwmon + "/name").value_or("") != fan.chip) continue;
    const std::string enable = fan.hwmon + "/pwm" + std::to_string(fan.pwm) + "_enable";
    const auto current = ReadInteger(sys_, enable);
    if (current && *current >= kDefaultAutoEnable) continue;  // already back (another tool, or a reboot)
    if (!Write(enable, std::to_string(fan.restore))) {
      left.push_back(fan);
      continue;
    }
    vantrel::LogInfo(kLogFunction, L"fan " + Wide(enable) + L" given back to automatic mode");
  }
  state_.Save(FormatFanLedger(left));
}

}  // namespace velmont::firmware
