// The supervisor's switches and the Linux service glue: unit file, unit
// states, and logind signals turned into service controls.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "supervisor/command_line.h"
#include "supervisor/service_base.h"
#include "supervisor/service_instance.h"
#include "supervisor/systemd_glue.h"

namespace vantrel::supervisor {
namespace {

TEST(CommandLineTest, SwitchTable) {
  struct Case {
    std::vector<std::wstring> args;
    CommandAction action;
  } cases[] = {
      {{}, CommandAction::kRunService},
      {{L"-install"}, CommandAction::kInstall},
      {{L"-INSTALL"}, CommandAction::kInstall},
      {{L"/install"}, CommandAction::kInstall},
      {{L"/InStAlL", L"extra"}, CommandAction::kInstall},
      {{L"-uninstall"}, CommandAction::kUninstall},
      {{L"/Uninstall"}, CommandAction::kUninstall},
      // -remove was once named in the usage text, but it is no switch the program knows.
      {{L"-remove"}, CommandAction::kIgnore},
      {{L"--help"}, CommandAction::kHelp},
      {{L"-h"}, CommandAction::kHelp},
      {{L"/?"}, CommandAction::kHelp},
      {{L"--version", L"-install"}, CommandAction::kVersion},
      {{L"-install", L"--help"}, CommandAction::kInstall},
      {{L"-"}, CommandAction::kIgnore},
      {{L"/"}, CommandAction::kIgnore},
      {{L"-installx"}, CommandAction::kIgnore},
      {{L"--install"}, CommandAction::kIgnore},
      // No switch character: run as a service.
      {{L"install"}, CommandAction::kRunService},
      {{L""}, CommandAction::kRunService},
      {{L"x", L"-install"}, CommandAction::kRunService},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseCommandLine(c.args), c.action) << (c.args.empty() ? "(none)" : std::string(c.args[0].begin(), c.args[0].end()));
  }
}

TEST(CommandLineTest, UsageTextListsTheSwitchesThereAre) {
  EXPECT_STREQ(kUsageText,
               "Parameters:\n -install    to install the service.\n -uninstall  to remove the service.\n");
}

TEST(SystemdGlueTest, UnitFileRunsTheProgramAsANotifyService) {
  std::string unit = BuildUnitFile("/opt/vantrel/VantrelCentralService");
  EXPECT_NE(unit.find("Type=notify\n"), std::string::npos);
  EXPECT_NE(unit.find("Restart=on-failure\n"), std::string::npos);
  EXPECT_NE(unit.find("ExecStart=\"/opt/vantrel/VantrelCentralService\"\n"), std::string::npos);
  EXPECT_NE(unit.find("WantedBy=multi-user.target\n"), std::string::npos);
  EXPECT_NE(unit.find("Description=Vantrel Agent Service Central\n"), std::string::npos);
}

#ifndef _WIN32
// -install's unit and the package's differ in ExecStart and the sandbox only.
TEST(SystemdGlueTest, UnitFileOrdersRestartsAndKillsLikeThePackagedOne) {
  const char* source = std::getenv("VANTREL_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  std::ifstream in(std::string(source) + "/packaging/linux/VACSvc.service.in");
  ASSERT_TRUE(in) << "packaged unit not found";
  std::stringstream packaged;
  packaged << in.rdbuf();
  const std::string unit = BuildUnitFile("/opt/vantrel/VantrelCentralService");
  for (const char* key : {"Description=", "After=", "Wants=", "Type=", "Restart=", "KillMode=", "WantedBy="}) {
    auto line = [key](const std::string& text) {
      const size_t at = text.find(std::string("\n") + key);
      return at == std::string::npos ? std::string() : text.substr(at + 1, text.find('\n', at + 1) - at - 1);
    };
    EXPECT_FALSE(line(unit).empty()) << key;
    EXPECT_EQ(line(unit), line(packaged.str())) << key;
  }
}
#endif

TEST(SystemdGlueTest, ExecPathQuoting) {
  EXPECT_EQ(QuoteExecPath("/a b/c"), "\"/a b/c\"");
  // systemd would expand %h and unescape \ and " otherwise.
  EXPECT_EQ(QuoteExecPath("/x%h/y"), "\"/x%%h/y\"");
  EXPECT_EQ(QuoteExecPath("/q\"\\"), "\"/q\\\"\\\\\"");
}

TEST(SystemdGlueTest, UnitStates) {
  struct Case {
    const char* text;
    UnitState state;
    bool accepts_stop;
    bool stopped;
  } cases[] = {
      {"active\n", UnitState::kActive, true, false},
      {"activating", UnitState::kActivating, true, false},
      {"reloading\n", UnitState::kReloading, true, false},
      {"deactivating\n", UnitState::kDeactivating, false, false},
      {"inactive\n", UnitState::kInactive, false, true},
      {"failed\n", UnitState::kFailed, false, true},
      {"", UnitState::kUnknown, false, false},
      {"maintenance\n", UnitState::kUnknown, false, false},
  };
  for (const Case& c : cases) {
    UnitState s = ParseUnitState(c.text);
    EXPECT_EQ(s, c.state) << c.text;
    EXPECT_EQ(UnitAcceptsStop(s), c.accepts_stop) << c.text;
    EXPECT_EQ(UnitIsStopped(s), c.stopped) << c.text;
  }
}

TEST(SystemdGlueTest, SleepSignalsBecomePowerEvents) {
  EXPECT_EQ(PrepareForSleepEvents(true), (std::vector<ControlEvent>{{kControlPowerEvent, kPbtApmSuspend, 0}}));
  // The wake-up: the automatic resume first, then the resume that clears the suspend.
  EXPECT_EQ(PrepareForSleepEvents(false), (std::vector<ControlEvent>{{kControlPowerEvent, kPbtApmResumeAutomatic, 0},
                                                                     {kControlPowerEvent, kPbtApmResumeSuspend, 0}}));
}

TEST(SystemdGlueTest, ActiveSessionChangesBecomeConsoleEvents) {
  struct Case {
    std::string before, after;
    std::vector<ControlEvent> events;
  } cases[] = {
      {"", "3", {{kControlSessionChange, kWtsConsoleConnect, 3}}},
      {"3", "", {{kControlSessionChange, kWtsConsoleDisconnect, 3}}},
      {"3", "5", {{kControlSessionChange, kWtsConsoleDisconnect, 3}, {kControlSessionChange, kWtsConsoleConnect, 5}}},
      {"3", "3", {}},
      {"", "", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(ActiveSessionEvents(c.before, c.after), c.events) << c.before << "->" << c.after;
}

TEST(SystemdGlueTest, SessionNumbers) {
  EXPECT_EQ(SessionNumber("3"), 3u);
  EXPECT_EQ(SessionNumber("42"), 42u);
  // Text ids get a stable number in the upper half, apart from the numeric ones.
  EXPECT_EQ(SessionNumber("c1"), SessionNumber("c1"));
  EXPECT_NE(SessionNumber("c1"), SessionNumber("c2"));
  EXPECT_GE(SessionNumber("c1"), 0x80000000u);
  EXPECT_GE(SessionNumber("99999999999"), 0x80000000u);
}

}  // namespace
}  // namespace vantrel::supervisor
