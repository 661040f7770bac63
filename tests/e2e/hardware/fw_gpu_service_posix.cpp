// The real hardware service and vantrelctl on Linux with the firmware
// backends and the fake NVML: the values a client sees, the simulated
// controller's state surviving a restart of the service, and the "linux"
// backend giving fans back to automatic mode when the service stops or
// starts after being killed.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <string>

#include "common/hardware_commands.h"
#include "common/fw_encoding.h"
#include "common/names.h"
#include "common/pipe_transport.h"
#include "common/process.h"
#include "common/registry.h"
#include "common/text.h"
#include "hardware/commands/command_processor.h"
#include "tests/support/test_env.h"

namespace fs = std::filesystem;
using namespace vantrel;
namespace vt = vantrel::testing;

namespace {

void Write(const fs::path& p, const std::string& content) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
}

class FwGpuService : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = std::make_unique<vt::ScopedTestEnv>();
    instance_ = std::make_unique<vt::ScopedEnvVar>("VANTREL_INSTANCE",
                                                        text::ToUtf8(vt::UniqueName(L"_fwgpu_")));
    const fs::path sys = fs::path(env_->root()) / "sysroot";
    Write(sys / "sys/class/hwmon/hwmon0/name", "coretemp\n");
    Write(sys / "sys/class/hwmon/hwmon0/temp1_input", "60000\n");
    Write(sys / "sys/bus/pci/devices/0000:01:00.0/vendor", "0x10de\n");
    Write(sys / "sys/bus/pci/devices/0000:01:00.0/class", "0x030000\n");
    Write(sys / "sys/bus/pci/devices/0000:01:00.0/power/runtime_status", "active\n");
    sysroot_ = std::make_unique<vt::ScopedEnvVar>("VANTREL_SYSROOT", sys.string());
    // No power-profile daemon unless a test starts one on a bus of its own.
    bus_ = std::make_unique<vt::ScopedEnvVar>("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + env_->root() + "/no-bus");
    fake_nvml_ = (fs::path(text::ToUtf8(vt::ProgramPath(L"x"))).parent_path().parent_path() / "fakes/nvml").string();
    ASSERT_TRUE(fs::exists(fs::path(fake_nvml_) / "libnvidia-ml.so.1"))
        << "build the gpu_fake_nvml target first (" << fake_nvml_ << ")";
  }

  void TearDown() override { Stop(); }

  void UseBackend(const std::string& name) { env_->WritePlatformConfig(name); }

  void Start() {
    auto env = env_->ChildEnv();
    env[L"VANTREL_INSTANCE"] = names::Instance(L"");
    env[L"LD_LIBRARY_PATH"] = text::FromUtf8(fake_nvml_);
    process_ = proc::Process::Start(vt::ProgramPath(L"VantrelSysHardwareService"), {}, env);
    ASSERT_NE(process_, nullptr);
    ASSERT_TRUE(vt::WaitFor(
        [] {
          pipe::PipeClient probe(names::Instance(vantrel::names::kHardwarePipe));
          return probe.Connect() == 0;
        },
        std::chrono::seconds(20)));
  }

  void Stop() {
    if (!process_) return;
    process_->RequestStop();
    if (!process_->Wait(std::chrono::seconds(10))) {
      process_->Kill();
      process_->Wait(std::chrono::seconds(10));
    }
    process_.reset();
  }

  // vantrelctl --json <args>: the "value" it shows, nullopt when it shows none.
  std::optional<long long> Value(const std::string& args) {
    const std::string command =
        "'" + text::ToUtf8(vt::ProgramPath(L"vantrelctl")) + "' --json " + args + " 2>/dev/null";
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return std::nullopt;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    std::smatch m;
    if (!std::regex_search(out, m, std::regex("\"value\"\\s*:\\s*(-?[0-9]+)"))) {
      ADD_FAILURE() << args << ": " << out;
      return std::nullopt;
    }
    return std::stoll(m[1]);
  }

  // vantrelctl <args>: its exit status and standard output.
  std::pair<int, std::string> Ctl(const std::string& args) {
    const std::string command = "'" + text::ToUtf8(vt::ProgramPath(L"vantrelctl")) + "' " + args + " 2>/dev/null";
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return {-1, ""};
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int status = pclose(p);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
  }

  fs::path Sys(const std::string& path) const { return fs::path(env_->root()) / "sysroot" / path.substr(1); }
  std::string Line(const std::string& path) const {
    std::ifstream in(Sys(path));
    std::string line;
    std::getline(in, line);
    return line;
  }

  std::unique_ptr<vt::ScopedTestEnv> env_;
  std::unique_ptr<vt::ScopedEnvVar> instance_;
  std::unique_ptr<vt::ScopedEnvVar> sysroot_;
  std::unique_ptr<vt::ScopedEnvVar> bus_;
  std::string fake_nvml_;
  std::unique_ptr<proc::Process> process_;
};

}  // namespace

TEST_F(FwGpuService, SimulatedControllerKeepsItsStateAcrossARestart) {
  UseBackend("sim");
  ASSERT_NO_FATAL_FAILURE(Start());
  const std::map<int, int> pairs{{13, 14}, {15, 16}, {17, 18}, {24, 25}, {26, 27}, {31, 30}};
  for (const auto& [set, get] : pairs) {
    EXPECT_EQ(Value("hw fw " + std::to_string(set) + " " + std::to_string(0x5000000000ll + set)), 0) << set;
  }
  for (const auto& [set, get] : pairs) EXPECT_EQ(Value("hw fw " + std::to_string(get) + " 0"), 0x5000000000ll + set);
  Stop();
  ASSERT_NO_FATAL_FAILURE(Start());
  for (const auto& [set, get] : pairs) {
    EXPECT_EQ(Value("hw fw " + std::to_string(get) + " 0"), 0x5000000000ll + set) << "after restart, " << get;
  }
}

TEST_F(FwGpuService, HwmonAndFakeNvmlThroughVantrelctl) {
  UseBackend("hwmon");
  ASSERT_NO_FATAL_FAILURE(Start());
  EXPECT_EQ(Value("hw fw 7 0x0101"), 0x3C00);  // CPU 60 °C
  EXPECT_EQ(Value("hw fw 7 0x0201"), 1);       // no fan in the fixture
  EXPECT_EQ(Value("hw fw 15 1"), 0xFFFFFFFFll);  // hwmon has no fan control

  EXPECT_EQ(Value("hw gpu count"), 1);
  EXPECT_EQ(Value("hw gpu idle"), 1);
  EXPECT_EQ(Value("hw gpu freq 0"), 1350);
  EXPECT_EQ(Value("hw gpu maxfreq 0"), 2100);
  EXPECT_EQ(Value("hw gpu usage 0"), 42);
  const auto beyond = Value("hw gpu usage 1");
  EXPECT_TRUE(beyond == -1 || beyond == 0xFFFFFFFFll) << *beyond;
  EXPECT_EQ(reg::ReadString(reg::SystemRegistry(), reg::Root::kLocalMachine, reg::kSuiteKey, L"GPU_Name1"),
            std::wstring(L"NVIDIA GeForce RTX 4070 Laptop GPU"));
}

TEST_F(FwGpuService, LinuxBackendThroughThePipeGivesFansBackAfterAStopAndAKill) {
  namespace code = vantrel::fwcode;
  const std::string enable = "/sys/class/hwmon/hwmon1/pwm1_enable";
  Write(Sys("/sys/firmware/acpi/platform_profile"), "balanced\n");
  Write(Sys("/sys/firmware/acpi/platform_profile_choices"), "low-power balanced performance\n");
  Write(Sys("/sys/class/hwmon/hwmon1/name"), "thinkpad\n");
  Write(Sys("/sys/class/hwmon/hwmon1/pwm1"), "128\n");
  Write(Sys(enable), "2\n");
  Write(Sys("/sys/class/hwmon/hwmon1/fan1_input"), "3100\n");
  Write(Sys("/sys/class/power_supply/BAT0/charge_control_end_threshold"), "100\n");
  UseBackend("linux");
  ASSERT_NO_FATAL_FAILURE(Start());

  const auto fw = [&](int command, uint64_t input) {
    return Value("hw fw " + std::to_string(command) + " " + std::to_string(input));
  };
  EXPECT_EQ(fw(velmont::kSvcCmdWMISetGamingProfileConfiguration, static_cast<uint64_t>(code::Profile::kPerformance)), 0);
  EXPECT_EQ(fw(velmont::kSvcCmdWMIGetGamingProfileConfiguration, code::kProfileGetCurrent), static_cast<long long>(code::Profile::kPerformance));
  EXPECT_EQ(Line("/sys/firmware/acpi/platform_profile"), "performance");
  EXPECT_EQ(fw(velmont::kSvcCmdWMISetGamingMiscSetting, code::EncodeSetting({1, 60})), 0);
  EXPECT_EQ(fw(velmont::kSvcCmdWMIGetGamingMiscSetting, 1), static_cast<long long>(code::EncodeSettingReading({60, 100})));
  EXPECT_EQ(fw(velmont::kSvcCmdWMISetGamingFanGroupSpeed, code::EncodeFanSpeed({1, 40})), 0);
  EXPECT_EQ(fw(velmont::kSvcCmdWMIGetGamingFanGroupSpeed, 1), static_cast<long long>(code::EncodeFanReading({40, 3100})));
  EXPECT_EQ(Line(enable), "1");
  Stop();
  EXPECT_EQ(Line(enable), "2") << "a stopped service leaves its fan in manual mode";

  ASSERT_NO_FATAL_FAILURE(Start());
  EXPECT_EQ(fw(velmont::kSvcCmdWMISetGamingFanGroupBehavior, code::EncodeFanBehavior({1, code::FanMode::kFull})), 0);
  EXPECT_EQ(Line(enable), "0");
  process_->Kill();
  ASSERT_TRUE(process_->Wait(std::chrono::seconds(10)));
  process_.reset();
  EXPECT_EQ(Line(enable), "0");  // nothing runs after SIGKILL
  ASSERT_NO_FATAL_FAILURE(Start());
  EXPECT_TRUE(vt::WaitFor([&] { return Line(enable) == "2"; }, std::chrono::seconds(5)))
      << "the next start leaves the killed run's fan at full speed";
}

namespace {

// One vantrelctl call: its exit status and a text its --json output holds
// (blanks removed, so "\"profile\":\"quiet\"" matches the styled output).
struct CtlStep {
  const char* args;
  int status;
  const char* holds;
};

std::string Squeezed(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c != ' ' && c != '\n' && c != '\t') out += c;
  }
  return out;
}

}  // namespace

// vantrelctl's control commands against the service on the three driver
// shapes of the platform tests.
TEST_F(FwGpuService, VantrelctlControlCommandsOnEachDriverShape) {
  struct Shape {
    const char* name;
    std::map<std::string, std::string> files;
    std::vector<CtlStep> steps;
    std::map<std::string, std::string> after_stop;
  };
  const std::string hw = "/sys/class/hwmon/hwmon1/";
  const std::string led = "/sys/class/leds/tpacpi::kbd_backlight/";
  const std::vector<Shape> shapes = {
      {"laptop",
       {{"/sys/firmware/acpi/platform_profile", "balanced"},
        {"/sys/firmware/acpi/platform_profile_choices", "low-power balanced performance"},
        {hw + "name", "thinkpad"}, {hw + "pwm1", "128"}, {hw + "pwm1_enable", "2"}, {hw + "fan1_input", "2500"},
        {hw + "pwm1_auto_point1_temp", "50000"}, {hw + "pwm1_auto_point1_pwm", "64"},
        {hw + "pwm1_auto_point2_temp", "70000"}, {hw + "pwm1_auto_point2_pwm", "191"},
        {"/sys/class/power_supply/BAT0/charge_control_end_threshold", "100"},
        {led + "brightness", "0"}, {led + "max_brightness", "2"}},
       {{"profile", 0, "\"supported\":[\"low-power\",\"balanced\",\"performance\"]"},
        {"profile low-power", 0, "\"profile\":\"low-power\""},
        {"profile", 0, "\"profile\":\"low-power\""},
        {"profile quiet", 1, "\"ok\":false"},
        {"fan", 0, "\"mode\":\"auto\",\"percent\":50,\"rpm\":2500"},
        {"fan 1 35", 0, "\"mode\":\"manual\",\"percent\":35"},
        {"fan full", 0, "\"mode\":\"full\""},
        {"fan auto", 0, "\"mode\":\"auto\""},
        {"fan 2 auto", 1, "\"ok\":false"},
        {"fan 1 101", 2, "\"error\":\"usage\""},
        {"fan-curve 1 show", 0, "[{\"celsius\":50,\"percent\":25},{\"celsius\":70,\"percent\":75}]"},
        {"fan-curve 1 set 55:30 75:90", 0, "[{\"celsius\":55,\"percent\":30},{\"celsius\":75,\"percent\":90}]"},
        // Refused whole: the curve has two points; then a point the service refuses after
        // the first was written. Neither leaves a trace.
        {"fan-curve 1 set 40:10 60:20 95:100", 1, "\"ok\":false"},
        {"fan-curve 1 set 45:20 200:90", 1, "thecurvewasleftasitwas"},
        {"fan-curve 1 show", 0, "[{\"celsius\":55,\"percent\":30},{\"celsius\":75,\"percent\":90}]"},
        {"fan-curve 1 set 55", 2, "\"error\":\"usage\""},
        {"battery-limit 60", 0, "\"maximum\":100,\"minimum\":1,\"ok\":true,\"value\":60"},
        {"battery-limit 0", 1, "\"ok\":false"},
        {"kbd-light", 0, "\"maximum\":2,\"minimum\":0,\"ok\":true,\"value\":0"},
        {"kbd-light 2", 0, "\"value\":2"},
        {"kbd-light 3", 1, "\"ok\":false"}},
       {{hw + "pwm1_enable", "2"}}},
      {"pwm only",
       {{hw + "name", "nct6775"}, {hw + "pwm1", "255"}, {hw + "pwm1_enable", "5"},
        {hw + "pwm2", "0"}, {hw + "pwm2_enable", "5"}},
       {{"fan", 0, "[{\"fan\":1,\"mode\":\"auto\",\"percent\":100,\"rpm\":0},{\"fan\":2,\"mode\":\"auto\""},
        {"fan 2 0", 0, "\"fans\":[{\"fan\":2,\"mode\":\"manual\",\"percent\":0,\"rpm\":0}]"},
        {"fan-curve 1 show", 1, "\"ok\":false"},
        {"profile", 1, "\"ok\":false"},
        {"battery-limit", 1, "\"ok\":false"}},
       {{hw + "pwm2_enable", "5"}}},  // left manual above, given back by the stop
      {"profile only",
       {{"/sys/firmware/acpi/platform_profile", "quiet"},
        {"/sys/firmware/acpi/platform_profile_choices", "quiet balanced performance"}},
       {{"profile", 0, "\"profile\":\"quiet\""},
        {"profile performance", 0, "\"profile\":\"performance\""},
        {"fan", 1, "\"error\":\"unsupported\""},  // nothing to steer
        {"fan-curve 1 show", 1, "\"ok\":false"},
        {"kbd-light 1", 1, "\"ok\":false"}},
       {}},
  };
  UseBackend("linux");
  for (const Shape& shape : shapes) {
    fs::remove_all(fs::path(env_->root()) / "sysroot" / "sys");
    for (const auto& [path, value] : shape.files) Write(Sys(path), value + "\n");
    ASSERT_NO_FATAL_FAILURE(Start());
    for (const CtlStep& step : shape.steps) {
      const auto [status, out] = Ctl(std::string("--json ") + step.args);
      EXPECT_EQ(status, step.status) << shape.name << ": " << step.args << "\n" << out;
      EXPECT_NE(Squeezed(out).find(step.holds), std::string::npos) << shape.name << ": " << step.args << "\n" << out;
    }
    Stop();
    for (const auto& [path, value] : shape.after_stop) EXPECT_EQ(Line(path), value) << shape.name << ": " << path;
  }
  // Any other firmware reads the words its own way: vantrelctl sends none.
  UseBackend("sim");
  ASSERT_NO_FATAL_FAILURE(Start());
  for (const char* args : {"fan full", "profile performance", "kbd-light"}) {
    const auto [status, out] = Ctl(std::string("--json ") + args);
    EXPECT_EQ(status, 1) << args;
    EXPECT_NE(Squeezed(out).find("\"error\":\"unsupported\""), std::string::npos) << args << "\n" << out;
  }
  EXPECT_EQ(Value("hw fw 14 0"), 0) << "the simulated fan behaviour was written";
}

namespace {

// Kills a helper process when the test leaves, however it leaves.
struct Ended {
  proc::Process* process;
  ~Ended() {
    process->Kill();
    process->Wait(std::chrono::seconds(10));
  }
};

}  // namespace

// Where power-profiles-daemon runs it owns the profile: the service asks it
// (a stand-in on a private bus) and writes nothing itself, and refuses the
// driver's profiles the daemon does not know.
TEST_F(FwGpuService, AProfileDaemonIsAskedInsteadOfWritingTheAttribute) {
  if (!fs::exists("/usr/bin/dbus-daemon")) GTEST_SKIP() << "no dbus-daemon (Debian package dbus-daemon)";
  const fs::path root = env_->root();
  const std::string socket = (root / "system_bus").string();
  Write(root / "bus.conf",
        "<busconfig><type>system</type><listen>unix:path=" + socket +
            "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
            "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n");
  auto bus = proc::Process::Start(L"/usr/bin/dbus-daemon",
                                  {L"--nofork", text::FromUtf8("--config-file=" + (root / "bus.conf").string())});
  ASSERT_NE(bus, nullptr);
  const Ended bus_ends{bus.get()};
  ASSERT_TRUE(vt::WaitFor([&] { return fs::exists(socket); }, std::chrono::seconds(10)));
  bus_.reset();  // first: its destructor restores the variable
  bus_ = std::make_unique<vt::ScopedEnvVar>("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + socket);

  const std::string log = (root / "ppd.log").string();
  auto daemon = proc::Process::Start(text::FromUtf8(fs::path(fake_nvml_).parent_path().string() + "/ppd_standin"), {},
                                     {{L"PPD_STANDIN_LOG", text::FromUtf8(log)}});
  ASSERT_NE(daemon, nullptr);
  const Ended daemon_ends{daemon.get()};
  ASSERT_TRUE(vt::WaitFor([&] { return fs::exists(log + ".ready"); }, std::chrono::seconds(10)));

  const std::string profile = "/sys/firmware/acpi/platform_profile";
  Write(Sys(profile), "balanced\n");
  Write(Sys(profile + "_choices"), "low-power quiet balanced performance\n");
  UseBackend("linux");
  ASSERT_NO_FATAL_FAILURE(Start());

  EXPECT_EQ(Ctl("--json profile low-power").first, 0);
  EXPECT_EQ(Line(profile), "low-power");  // the stand-in's write
  EXPECT_EQ(Ctl("--json profile quiet").first, 1);
  EXPECT_EQ(Line(profile), "low-power");
  std::ifstream in(log);
  std::string asked((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(asked, "power-saver\n");

  daemon->Kill();
  daemon->Wait(std::chrono::seconds(10));
  EXPECT_EQ(Ctl("--json profile quiet").first, 0);  // no daemon: the attribute
  EXPECT_EQ(Line(profile), "quiet");
  Stop();
}
