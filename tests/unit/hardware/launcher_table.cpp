// The launcher key: the decision table, the brand read with its repair, the
// action's command line, and the Linux session and path rules.
#include "hardware/launcher/launcher.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "common/win32_errors.h"
#include "hardware/launcher/session.h"
#include "tests/unit/hardware/fake_registry.h"

namespace {

namespace hw = vantrel::hw;
using hw::LaunchWay;
using hw::Launcher;
using vantrel::reg::Root;
using vantrel::testing::FakeRegistry;

TEST(LauncherTable, EveryRow) {
  struct Row {
    bool ctrl, shift;
    const wchar_t* brand;
    bool controller;
    std::optional<hw::LauncherChoice> want;
  };
  const hw::LauncherChoice brivon_cmd{Launcher::kBrivon, LaunchWay::kCommandLine};
  const hw::LauncherChoice tavrix_cmd{Launcher::kTavrix, LaunchWay::kCommandLine};
  const hw::LauncherChoice pulse{Launcher::kPulsedeck, LaunchWay::kApplicationPath};
  const hw::LauncherChoice brivon{Launcher::kBrivon, LaunchWay::kApplicationPath};
  const hw::LauncherChoice tavrix{Launcher::kTavrix, LaunchWay::kApplicationPath};
  const hw::LauncherChoice zorvik{Launcher::kZorvik, LaunchWay::kApplicationPath};
  const Row rows[] = {
      // Ctrl, whatever Shift: widget view of the controller's launcher, or nothing.
      {true, false, L"Quelm", true, brivon_cmd},
      {true, true, L"Quelm", true, brivon_cmd},
      {true, false, L"Rookane", true, tavrix_cmd},
      {true, true, L"Rookane", true, tavrix_cmd},
      {true, false, L"Vantrel", true, std::nullopt},
      {true, false, L"", true, std::nullopt},
      {true, false, L"Quelm", false, std::nullopt},
      {true, true, L"Rookane", false, std::nullopt},
      // Shift alone: Pulsedeck whatever the brand and controller.
      {false, true, L"Quelm", true, pulse},
      {false, true, L"Rookane", false, pulse},
      {false, true, L"", false, pulse},
      // Plain key.
      {false, false, L"Quelm", true, brivon},
      {false, false, L"Rookane", true, tavrix},
      {false, false, L"Quelm", false, zorvik},
      {false, false, L"Rookane", false, zorvik},
      {false, false, L"Vantrel", true, zorvik},
      {false, false, L"rookane", true, zorvik},  // case-sensitive
      {false, false, L"Rookane ", true, zorvik},  // whole string
      {false, false, L"", true, zorvik},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(hw::ChooseLauncher(r.ctrl, r.shift, r.brand, r.controller), r.want)
        << r.ctrl << r.shift << " " << vantrel::text::ToUtf8(r.brand) << " " << r.controller;
  }
}

TEST(LauncherTable, FixedPaths) {
  EXPECT_STREQ(hw::LauncherWindowsPath(Launcher::kTavrix),
               L"C:\\\\Program Files\\Tavrix\\Prerequisites\\TavrixLauncher.exe");
  EXPECT_STREQ(hw::LauncherWindowsPath(Launcher::kPulsedeck),
               L"C:\\\\Program Files\\Pulsedeck\\Prerequisites\\VantrelPulsedeckLauncher.exe");
  EXPECT_STREQ(hw::LauncherRelativePath(Launcher::kBrivon), L"Brivon\\Prerequisites\\BrivonLauncher.exe");
  EXPECT_STREQ(hw::LauncherRelativePath(Launcher::kZorvik), L"Zorvik\\Prerequisites\\ZorvikLauncher.exe");
}

struct Started {
  std::optional<std::wstring> application, command_line;
};

std::vector<Started> Press(bool ctrl, bool shift, bool controller, FakeRegistry& r) {
  std::vector<Started> started;
  hw::RunLauncherKeyAction(
      ctrl, shift, controller, r, [](Launcher l) { return std::wstring(hw::LauncherWindowsPath(l)); },
      [&](const std::optional<std::wstring>& app, const std::optional<std::wstring>& cmd) {
        started.push_back({app, cmd});
        return true;
      });
  return started;
}

void SetBrand(FakeRegistry& r, const std::wstring& brand) {
  vantrel::reg::WriteString(r, Root::kLocalMachine, vantrel::reg::kSuiteKey, L"Model_Name_1st_brand", brand);
}

TEST(LauncherAction, StartsOneProgramTheRightWay) {
  FakeRegistry r;
  SetBrand(r, L"Rookane");
  auto s = Press(false, false, true, r);
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].application, std::wstring(hw::LauncherWindowsPath(Launcher::kTavrix)));
  EXPECT_FALSE(s[0].command_line);

  s = Press(true, false, true, r);
  ASSERT_EQ(s.size(), 1u);
  EXPECT_FALSE(s[0].application);
  EXPECT_EQ(s[0].command_line, L"\"C:\\\\Program Files\\Tavrix\\Prerequisites\\TavrixLauncher.exe\" /widget");

  EXPECT_TRUE(Press(true, false, false, r).empty());
  s = Press(false, false, false, r);
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].application, std::wstring(hw::LauncherWindowsPath(Launcher::kZorvik)));
  s = Press(false, true, true, r);
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].application, std::wstring(hw::LauncherWindowsPath(Launcher::kPulsedeck)));
}

TEST(LauncherAction, BrandReadAndRepair) {
  // Missing: created empty, then the plain key starts Zorvik even with the controller.
  FakeRegistry r;
  EXPECT_EQ(hw::ReadBrandForLauncher(r), L"");
  EXPECT_EQ(vantrel::reg::ReadString(r, Root::kLocalMachine, vantrel::reg::kSuiteKey, L"Model_Name_1st_brand"),
            std::wstring());
  auto s = Press(false, false, true, r);
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].application, std::wstring(hw::LauncherWindowsPath(Launcher::kZorvik)));

  // Narrowed to low bytes; long values are read whole (the buffer doubles).
  SetBrand(r, L"\u0151uelm");  // low byte 0x51 = 'Q'
  EXPECT_EQ(hw::ReadBrandForLauncher(r), L"Quelm");
  const std::wstring long_brand(1000, L'B');  // 2002 bytes: past 512 and 1024
  SetBrand(r, long_brand);
  EXPECT_EQ(hw::ReadBrandForLauncher(r), long_brand);
  SetBrand(r, std::wstring(255, L'C'));  // 512 bytes with its NUL: fills the first buffer exactly
  EXPECT_EQ(hw::ReadBrandForLauncher(r), std::wstring(255, L'C'));

  // A read error (here a value of another type) gives "Vantrel" and repairs nothing.
  vantrel::reg::WriteDword(r, Root::kLocalMachine, vantrel::reg::kSuiteKey, L"Model_Name_1st_brand", 1);
  EXPECT_EQ(hw::ReadBrandForLauncher(r), L"Vantrel");
  EXPECT_EQ(vantrel::reg::ReadDword(r, Root::kLocalMachine, vantrel::reg::kSuiteKey, L"Model_Name_1st_brand"), 1u);
  // A value too large to be a brand is an error, not an endless doubling.
  SetBrand(r, std::wstring(600000, L'Z'));
  EXPECT_EQ(hw::ReadBrandForLauncher(r), L"Vantrel");
}

TEST(LinuxLaunch, ChoosesTheActiveLocalGraphicalSession) {
  std::vector<hw::SessionInfo> s(5);
  s[0] = {"c1", 0, true, false, "tty", "user", "seat0", ""};
  s[1] = {"c2", 120, true, false, "wayland", "greeter", "seat0", ""};
  s[2] = {"3", 1000, false, false, "x11", "user", "seat0", ":0"};
  s[3] = {"4", 1001, true, true, "x11", "user", "", ":10"};
  s[4] = {"5", 1002, true, false, "x11", "user", "seat1", ":1"};
  EXPECT_EQ(hw::ChooseGraphicalSession(s), std::optional<size_t>(4));
  s.push_back({"6", 1003, true, false, "wayland", "user", "seat0", ""});
  EXPECT_EQ(hw::ChooseGraphicalSession(s), std::optional<size_t>(5));
  EXPECT_EQ(hw::ChooseGraphicalSession({}), std::nullopt);

  const auto env = hw::SessionEnvironment(s[4], {"ann", "/home/ann", "/bin/bash"}, "");
  EXPECT_EQ(env.at("HOME"), "/home/ann");
  EXPECT_EQ(env.at("USER"), "ann");
  EXPECT_EQ(env.at("DISPLAY"), ":1");
  EXPECT_EQ(env.at("XDG_RUNTIME_DIR"), "/run/user/1002");
  EXPECT_EQ(env.at("DBUS_SESSION_BUS_ADDRESS"), "unix:path=/run/user/1002/bus");
  EXPECT_EQ(env.count("WAYLAND_DISPLAY"), 0u);
  EXPECT_EQ(hw::SessionEnvironment(s[5], {"bo", "/home/bo", ""}, "wayland-0").at("WAYLAND_DISPLAY"), "wayland-0");
}

TEST(LinuxLaunch, ProgramsFolderAndCommandLine) {
  EXPECT_EQ(hw::ProgramsFolder(std::nullopt, std::nullopt), "/opt");
  EXPECT_EQ(hw::ProgramsFolder(std::string("/env"), std::string("/reg")), "/env");
  EXPECT_EQ(hw::ProgramsFolder(std::string(""), std::string("/reg")), "/reg");
  EXPECT_EQ(hw::JoinProgramPath("/opt/", hw::LauncherRelativePath(Launcher::kTavrix)),
            "/opt/Tavrix/Prerequisites/TavrixLauncher.exe");
  EXPECT_EQ(hw::SplitCommandLine(L"\"/opt/My Apps/Tavrix\" /widget"),
            (std::vector<std::wstring>{L"/opt/My Apps/Tavrix", L"/widget"}));
  EXPECT_EQ(hw::SplitCommandLine(L"  a  \"\"  b"), (std::vector<std::wstring>{L"a", L"", L"b"}));
}

}  // namespace
