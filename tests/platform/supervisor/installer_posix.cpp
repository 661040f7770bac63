// -install and -uninstall on Linux against a private unit folder and a
// stand-in systemctl that records its calls and plays back unit states.
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/text.h"
#include "tests/support/test_env.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
}

class InstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unit_dir_ = env_.root() + "/units";
    fs::create_directories(unit_dir_);
    log_ = env_.root() + "/systemctl.log";
    states_ = env_.root() + "/states";
    systemctl_ = env_.root() + "/systemctl";
    // `show` answers the next line of the states file ("inactive" when used up);
    // `stop` and `enable` answer the exit code in STOP_RC / ENABLE_RC.
    WriteFile(systemctl_,
              "#!/bin/sh\n"
              "echo \"$@\" >> '" + log_ + "'\n"
              "case \"$1\" in\n"
              "  show) s=$(head -n1 '" + states_ + "' 2>/dev/null); sed -i 1d '" + states_ + "' 2>/dev/null;\n"
              "        echo \"${s:-inactive}\";;\n"
              "  stop) exit ${STOP_RC:-0};;\n"
              "  enable) [ -n \"$HANG_ENABLE\" ] && exec sleep 60; exit ${ENABLE_RC:-0};;\n"
              "esac\n"
              "exit 0\n");
    chmod(systemctl_.c_str(), 0755);
    unit_var_.emplace("VANTREL_SYSTEMD_UNIT_DIR", unit_dir_);
    tool_var_.emplace("VANTREL_SYSTEMCTL", systemctl_);
  }

  // Standard output (with standard error after it when `with_errors`); the
  // exit code must be `status`.
  std::string Run(const std::string& argument, const std::string& env = "", int status = 0,
                  bool with_errors = false) {
    std::string cmd = env + " '" + vantrel::text::ToUtf8(vantrel::testing::ProgramPath(L"VantrelCentralService")) +
                      "' " + argument + (with_errors ? " 2>&1" : " 2>/dev/null");
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return "popen failed";
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int rc = pclose(p);
    EXPECT_EQ(WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, status) << "exit code of " << argument;
    return out;
  }

  std::string Unit() const { return unit_dir_ + "/VACSvc.service"; }

  vantrel::testing::ScopedTestEnv env_;
  std::string unit_dir_, log_, states_, systemctl_;
  std::optional<vantrel::testing::ScopedEnvVar> unit_var_, tool_var_;
};

TEST_F(InstallerTest, InstallWritesAndEnablesTheUnitOnce) {
  EXPECT_EQ(Run("-install"), "VACSvc is installed.\n");
  std::string unit = ReadFile(Unit());
  std::string self = vantrel::text::ToUtf8(vantrel::testing::ProgramPath(L"VantrelCentralService"));
  EXPECT_NE(unit.find("ExecStart=\"" + fs::canonical(self).string() + "\"\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("Type=notify\n"), std::string::npos);
  EXPECT_EQ(ReadFile(log_), "daemon-reload\nenable VACSvc.service\n");
  EXPECT_FALSE(fs::exists(Unit() + ".tmp"));

  // Installed already: said in Linux terms, exit 1, the unit untouched.
  EXPECT_EQ(Run("/INSTALL", "", 1, true), "VACSvc is already installed: " + Unit() +
                                               " exists (remove it first with -uninstall)\n");
  EXPECT_EQ(ReadFile(Unit()), unit);
}

TEST_F(InstallerTest, EnableFailureKeepsTheInstallation) {
  EXPECT_EQ(Run("-install", "ENABLE_RC=1", 1, true),
            "VACSvc is installed.\nthe unit is written, but \"systemctl enable VACSvc.service\" failed: VACSvc will "
            "not start at boot\n");
  EXPECT_TRUE(fs::exists(Unit()));
}

TEST_F(InstallerTest, AHungSystemctlIsEndedAtItsDeadline) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Run("-install", "HANG_ENABLE=1 VANTREL_SYSTEMCTL_TIMEOUT_MS=500", 1, true),
            "VACSvc is installed.\nthe unit is written, but \"systemctl enable VACSvc.service\" failed: VACSvc will "
            "not start at boot\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_TRUE(fs::exists(Unit()));
}

TEST_F(InstallerTest, UninstallStopsWithPollingThenRemoves) {
  ASSERT_EQ(Run("-install"), "VACSvc is installed.\n");
  WriteFile(states_, "active\ndeactivating\ndeactivating\ninactive\n");
  EXPECT_EQ(Run("-uninstall"), "Stopping VACSvc...\nVACSvc is stopped.\nVACSvc is removed.\n");
  EXPECT_FALSE(fs::exists(Unit()));
  std::string log = ReadFile(log_);
  EXPECT_NE(log.find("stop --no-block VACSvc.service\n"), std::string::npos);
  EXPECT_NE(log.find("disable VACSvc.service\n"), std::string::npos);
}

TEST_F(InstallerTest, UninstallReportsAStopThatDidNotComplete) {
  ASSERT_EQ(Run("-install"), "VACSvc is installed.\n");
  WriteFile(states_, "active\ndeactivating\nactive\n");
  EXPECT_EQ(Run("/Uninstall"), "Stopping VACSvc..\nVACSvc failed to stop.\nVACSvc is removed.\n");
}

TEST_F(InstallerTest, UninstallOfAStoppedServiceOnlyRemoves) {
  ASSERT_EQ(Run("-install"), "VACSvc is installed.\n");
  WriteFile(states_, "inactive\n");
  EXPECT_EQ(Run("-uninstall"), "VACSvc is removed.\n");
  // A refused stop (systemctl fails) prints nothing about stopping either.
  ASSERT_EQ(Run("-install"), "VACSvc is installed.\n");
  WriteFile(states_, "active\n");
  EXPECT_EQ(Run("-uninstall", "STOP_RC=5"), "VACSvc is removed.\n");
}

TEST_F(InstallerTest, FailuresSayWhatFailedAndEndWithOne) {
  EXPECT_EQ(Run("-uninstall", "", 1), "");
  EXPECT_EQ(Run("-uninstall", "", 1, true), "VACSvc is not installed: there is no " + Unit() + "\n");
  unit_var_.reset();
  unit_var_.emplace("VANTREL_SYSTEMD_UNIT_DIR", env_.root() + "/missing");
  const std::string missing = "cannot write the systemd unit folder " + env_.root() + "/missing: No such file or directory\n";
  EXPECT_EQ(Run("-install", "", 1, true), missing);
  EXPECT_EQ(Run("-uninstall", "", 1, true), missing);
  // Unknown switches do nothing at all.
  EXPECT_EQ(Run("-remove", "", 0, true), "");
  EXPECT_EQ(ReadFile(log_), "");
}

TEST_F(InstallerTest, HelpAndVersionPrintAndEndWithZero) {
  EXPECT_EQ(Run("--version"), "VantrelCentralService " VANTREL_VERSION_STRING "\n");
  const std::string help = Run("--help");
  EXPECT_NE(help.find(" -uninstall  to remove the service."), std::string::npos) << help;
  EXPECT_EQ(help.find("-remove"), std::string::npos) << help;
  EXPECT_EQ(Run("/?"), help);
  EXPECT_EQ(ReadFile(log_), "");
}

TEST_F(InstallerTest, PrivateUnitFolderWithoutStandInLeavesSystemdAlone) {
  tool_var_.reset();
  tool_var_.emplace("VANTREL_SYSTEMCTL", std::nullopt);
  EXPECT_EQ(Run("-install"), "VACSvc is installed.\n");
  EXPECT_EQ(Run("-uninstall"), "VACSvc is removed.\n");
  EXPECT_EQ(ReadFile(log_), "");
}

TEST_F(InstallerTest, PackagedUnitTurnsBothSwitchesAway) {
  const std::string packaged = env_.root() + "/packaged";
  fs::create_directories(packaged);
  vantrel::testing::ScopedEnvVar packaged_var("VANTREL_PACKAGE_UNIT_DIR", packaged);
  ASSERT_EQ(Run("-install"), "VACSvc is installed.\n");
  const std::string unit = ReadFile(Unit());
  const std::string calls = ReadFile(log_);

  WriteFile(packaged + "/VACSvc.service", "[Service]\n");
  for (const char* argument : {"-install", "-uninstall", "/Uninstall"}) {
    const std::string out = Run(argument, "", 1, true);
    EXPECT_NE(out.find("installed by the vantrel package (" + packaged + "/VACSvc.service)"), std::string::npos)
        << argument << ": " << out;
  }
  // Neither the development unit nor systemd was touched.
  EXPECT_EQ(ReadFile(Unit()), unit);
  EXPECT_EQ(ReadFile(log_), calls);
}

}  // namespace
