// The Linux control logic against an in-memory /sys whose driver can refuse
// writes: what is written where, what is refused before the driver is asked,
// and the record that gives fans back to automatic mode.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "common/fw_encoding.h"
#include "hardware/firmware/fan_ledger.h"
#include "hardware/firmware/linux_control.h"
#include "tests/unit/hardware/fw_gpu_test_support.h"

namespace fw = velmont::firmware;
namespace code = vantrel::fwcode;

namespace {

class FakeSysfs : public fw::Sysfs {
 public:
  std::map<std::string, std::string> files;
  std::set<std::string> refusing;  // writes to these fail as a driver's EINVAL would
  std::vector<std::string> writes;  // "path=value", in order

  std::optional<std::string> Read(const std::string& path) override {
    auto it = files.find(path);
    if (it == files.end()) return std::nullopt;
    return it->second;
  }
  bool Write(const std::string& path, const std::string& value, std::string* error) override {
    if (!files.count(path) || refusing.count(path)) {
      *error = "Invalid argument";
      return false;
    }
    writes.push_back(path + "=" + value);
    files[path] = value;
    return true;
  }
  std::vector<std::string> List(const std::string& dir) override {
    std::set<std::string> names;
    for (const auto& [path, v] : files) {
      if (path.compare(0, dir.size() + 1, dir + "/") != 0) continue;
      const std::string rest = path.substr(dir.size() + 1);
      names.insert(rest.substr(0, rest.find('/')));
    }
    return {names.begin(), names.end()};
  }
  bool Exists(const std::string& path) override {
    return files.count(path) != 0 || !List(path).empty();
  }
};

class FakeState : public fw::StateFile {
 public:
  std::string content;
  bool fail = false;
  bool held_elsewhere = false;  // another process holds the record's lock
  int locked = 0;
  std::string Load() override { return content; }
  bool Save(const std::string& c) override {
    if (fail) return false;
    content = c;
    return true;
  }
  bool Lock(std::chrono::milliseconds) override {
    if (held_elsewhere) return false;
    ++locked;
    return true;
  }
  void Unlock() override { --locked; }
};

constexpr char kHwmon[] = "/sys/class/hwmon/hwmon1";
constexpr char kEnable[] = "/sys/class/hwmon/hwmon1/pwm1_enable";

class LinuxControl : public ::testing::Test {
 protected:
  void SetUp() override {
    sys_.files = {
        {std::string(kHwmon) + "/name", "thinkpad"},
        {kEnable, "5"},  // the driver's own automatic value, not the usual 2
        {std::string(kHwmon) + "/pwm1", "100"},
        {fw::kPlatformProfile, "balanced"},
        {fw::kPlatformProfileChoices, "low-power balanced performance"},
    };
  }
  std::optional<uint64_t> Call(const wchar_t* method, uint64_t input) { return control_.Call(method, input); }

  FakeSysfs sys_;
  FakeState state_;
  fw::LinuxFirmware control_{sys_, state_};
};

}  // namespace

TEST(FanLedger, KeepsOnlyLinesThatNameAnHwmonPwmChannel) {
  const std::vector<fw::ManualFan> fans = {{"/sys/class/hwmon/hwmon3", 2, 5, "nct6775"},
                                           {"/sys/class/hwmon/hwmon0", 1, 2, "chip with blanks"}};
  const auto back = fw::ParseFanLedger(fw::FormatFanLedger(fans));
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].restore, 5);
  EXPECT_EQ(back[1].chip, "chip with blanks");

  const char* const refused[] = {
      "/sys/class/leds/x 1 2 c",            // not hwmon
      "/sys/class/hwmon/../../etc 1 2 c",   // escapes the hwmon folder
      "/sys/class/hwmon/hwmon1/x 1 2 c",
      "/sys/class/hwmon/hwmon1 0 2 c",      // pwm numbers start at 1
      "/sys/class/hwmon/hwmon1 1 1 c",      // 1 is manual, never a value to restore
      "/sys/class/hwmon/hwmon1 1 999 c",
      "/sys/class/hwmon/hwmon1 x 2 c",
      "",
  };
  for (const char* line : refused) EXPECT_TRUE(fw::ParseFanLedger(line).empty()) << line;
}

TEST_F(LinuxControl, ManualModeIsRecordedBeforeTheWriteAndUndoneWithTheDriversValue) {
  ASSERT_EQ(Call(L"SetGamingFanBehavior", code::EncodeFanBehavior({1, code::FanMode::kManual})), 0u);
  EXPECT_EQ(sys_.files[kEnable], "1");
  ASSERT_EQ(fw::ParseFanLedger(state_.content).size(), 1u);
  EXPECT_EQ(fw::ParseFanLedger(state_.content)[0].restore, 5);
  // Full speed on top of manual keeps the first record (5, not 1).
  ASSERT_EQ(Call(L"SetGamingFanBehavior", code::EncodeFanBehavior({1, code::FanMode::kFull})), 0u);
  EXPECT_EQ(fw::ParseFanLedger(state_.content).size(), 1u);

  ASSERT_EQ(Call(L"SetGamingFanBehavior", code::EncodeFanBehavior({1, code::FanMode::kAuto})), 0u);
  EXPECT_EQ(sys_.files[kEnable], "5");
  EXPECT_EQ(state_.content, "");
}

TEST_F(LinuxControl, AFanThatCannotBeRecordedIsNotTouched) {
  state_.fail = true;
  fwgpu_test::LogCapture log;
  EXPECT_EQ(Call(L"SetGamingFanSpeed", code::EncodeFanSpeed({1, 40})), std::nullopt);
  EXPECT_TRUE(sys_.writes.empty());
  EXPECT_NE(log.Raw().find("cannot record"), std::string::npos);
}

TEST_F(LinuxControl, DriverRefusalsFailWithALogLine) {
  sys_.refusing = {fw::kPlatformProfile, std::string(kHwmon) + "/pwm1"};
  fwgpu_test::LogCapture log;
  EXPECT_EQ(Call(L"SetGamingProfile", static_cast<uint64_t>(code::Profile::kPerformance)), std::nullopt);
  EXPECT_NE(log.Raw().find("platform_profile failed: Invalid argument"), std::string::npos);
  EXPECT_EQ(Call(L"SetGamingFanSpeed", code::EncodeFanSpeed({1, 40})), std::nullopt);
  EXPECT_NE(log.Raw().find("pwm1 failed"), std::string::npos);
}

TEST_F(LinuxControl, ValuesOutsideWhatTheDriverOffersNeverReachIt) {
  struct Case {
    const wchar_t* method;
    uint64_t input;
  };
  const Case refused[] = {
      {L"SetGamingProfile", static_cast<uint64_t>(code::Profile::kQuiet)},  // not among the choices
      {L"SetGamingProfile", 0},
      {L"SetGamingProfile", 0x104},  // stray bits above the id
      {L"SetGamingFanBehavior", code::EncodeFanBehavior({2, code::FanMode::kManual})},  // one fan only
      {L"SetGamingFanBehavior", code::EncodeFanBehavior({0, code::FanMode::kManual})},
      {L"SetGamingFanSpeed", 0x6501},                                   // 101 %
      {L"SetGamingFanTable", code::EncodeCurveSet({1, 1, 50, 50, 0})},  // this fan has no curve
      {L"SetGamingMiscSetting", code::EncodeSetting({1, 80})},          // no battery limit here
      {L"SetFunction", code::EncodeSetting({2, 1})},                    // no keyboard light
      {L"GetGamingSysInfo", 0},                                         // the sensor reader's, not ours
  };
  for (const Case& c : refused) {
    EXPECT_EQ(Call(c.method, c.input), std::nullopt) << std::hex << c.input;
  }
  EXPECT_TRUE(sys_.writes.empty());
}

TEST_F(LinuxControl, RestoreGivesBackRecordedFansOnly) {
  sys_.files["/sys/class/hwmon/hwmon2/name"] = "nct6775";
  sys_.files["/sys/class/hwmon/hwmon2/pwm3_enable"] = "1";
  sys_.files[kEnable] = "0";
  state_.content = fw::FormatFanLedger({{kHwmon, 1, 5, "thinkpad"},
                                        {"/sys/class/hwmon/hwmon2", 3, 2, "it87"}});  // renumbered after a boot
  control_.RestoreFans();
  EXPECT_EQ(sys_.files[kEnable], "5");
  EXPECT_EQ(sys_.files["/sys/class/hwmon/hwmon2/pwm3_enable"], "1");
  EXPECT_EQ(state_.content, "");

  // A refused restore stays recorded for the next try.
  sys_.files[kEnable] = "1";
  sys_.refusing = {kEnable};
  state_.content = fw::FormatFanLedger({{kHwmon, 1, 5, "thinkpad"}});
  control_.RestoreFans();
  EXPECT_EQ(fw::ParseFanLedger(state_.content).size(), 1u);
}

TEST_F(LinuxControl, TheRecordIsChangedOnlyUnderItsLockAndNeverAfterTheStop) {
  fwgpu_test::LogCapture log;
  state_.held_elsewhere = true;  // the supervisor is giving the fans back
  EXPECT_EQ(Call(L"SetGamingFanSpeed", code::EncodeFanSpeed({1, 40})), std::nullopt);
  EXPECT_TRUE(sys_.writes.empty());
  sys_.files[kEnable] = "1";
  state_.content = fw::FormatFanLedger({{kHwmon, 1, 5, "thinkpad"}});
  control_.RestoreFans();
  EXPECT_EQ(sys_.files[kEnable], "1") << "restored without the lock";
  EXPECT_NE(log.Raw().find("stayed locked"), std::string::npos);

  state_.held_elsewhere = false;
  int asked = 0;
  control_.RestoreFansUnlessRunning([&] { ++asked; return true; });  // a new service owns the record
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(sys_.files[kEnable], "1");
  control_.RestoreFansUnlessRunning([&] { return false; });
  EXPECT_EQ(sys_.files[kEnable], "5");

  ASSERT_EQ(Call(L"SetGamingFanSpeed", code::EncodeFanSpeed({1, 40})), 0u);
  control_.RestoreFansAndClose();
  EXPECT_EQ(sys_.files[kEnable], "5");
  // A command that arrives after the stop's restore.
  EXPECT_EQ(Call(L"SetGamingFanSpeed", code::EncodeFanSpeed({1, 60})), std::nullopt);
  EXPECT_EQ(Call(L"SetGamingFanBehavior", code::EncodeFanBehavior({1, code::FanMode::kFull})), std::nullopt);
  EXPECT_EQ(sys_.files[kEnable], "5");
  EXPECT_EQ(state_.content, "");
  EXPECT_EQ(state_.locked, 0);
}

TEST_F(LinuxControl, ACurvePointWhoseDutyIsRefusedKeepsItsTemperature) {
  const std::string temp = std::string(kHwmon) + "/pwm1_auto_point1_temp";
  const std::string pwm = std::string(kHwmon) + "/pwm1_auto_point1_pwm";
  sys_.files[temp] = "50000";
  sys_.files[pwm] = "64";
  sys_.refusing = {pwm};
  EXPECT_EQ(Call(L"SetGamingFanTable", code::EncodeCurveSet({1, 1, 60, 50, 0})), std::nullopt);
  EXPECT_EQ(sys_.files[temp], "50000");
  EXPECT_EQ(sys_.files[pwm], "64");
}

namespace {

class FakeDaemon : public fw::ProfileDaemon {
 public:
  bool present = true;
  bool refuse = false;
  std::vector<std::string> set;
  bool Present() override { return present; }
  bool SetActive(const std::string& name, std::string* error) override {
    if (refuse) {
      *error = "not allowed";
      return false;
    }
    set.push_back(name);
    return true;
  }
};

}  // namespace

TEST_F(LinuxControl, AProfileDaemonOwnsTheProfileWhileItRuns) {
  FakeDaemon daemon;
  fw::LinuxFirmware control(sys_, state_, &daemon);
  const auto set = [&](code::Profile p) { return control.Call(L"SetGamingProfile", static_cast<uint64_t>(p)); };
  sys_.files[fw::kPlatformProfileChoices] = "low-power quiet balanced performance";

  EXPECT_EQ(set(code::Profile::kLowPower), 0u);
  EXPECT_EQ(set(code::Profile::kPerformance), 0u);
  EXPECT_EQ(daemon.set, (std::vector<std::string>{"power-saver", "performance"}));
  // The driver offers "quiet", the daemon has no such profile: refused, not written behind its back.
  EXPECT_EQ(set(code::Profile::kQuiet), std::nullopt);
  daemon.refuse = true;
  EXPECT_EQ(set(code::Profile::kBalanced), std::nullopt);
  EXPECT_TRUE(sys_.writes.empty());

  daemon.present = false;  // stopped: the attribute again
  EXPECT_EQ(set(code::Profile::kQuiet), 0u);
  EXPECT_EQ(sys_.files[fw::kPlatformProfile], "quiet");
}
