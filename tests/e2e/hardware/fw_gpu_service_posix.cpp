// The real hardware service and vantrelctl on Linux with the firmware
// backends and the fake NVML: the values a client sees, the simulated
// controller's state surviving a restart of the service, and the "linux"
// backend giving fans back to automatic mode when the service stops or
// starts after being killed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>

#include "common/fw_encoding.h"
#include "common/names.h"
#include "common/pipe_transport.h"
#include "common/process.h"
#include "common/registry.h"
#include "common/text.h"
#include "hardware/command_processor.h"
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
          pipe::PipeClient probe(names::Instance(velmont::kHardwarePipeName));
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
  EXPECT_EQ(fw(24, static_cast<uint64_t>(code::Profile::kPerformance)), 0);
  EXPECT_EQ(fw(25, code::kProfileGetCurrent), static_cast<long long>(code::Profile::kPerformance));
  EXPECT_EQ(Line("/sys/firmware/acpi/platform_profile"), "performance");
  EXPECT_EQ(fw(26, code::EncodeSetting({1, 60})), 0);
  EXPECT_EQ(fw(27, 1), static_cast<long long>(code::EncodeSettingReading({60, 100})));
  EXPECT_EQ(fw(15, code::EncodeFanSpeed({1, 40})), 0);
  EXPECT_EQ(fw(16, 1), static_cast<long long>(code::EncodeFanReading({40, 3100})));
  EXPECT_EQ(Line(enable), "1");
  Stop();
  EXPECT_EQ(Line(enable), "2") << "a stopped service leaves its fan in manual mode";

  ASSERT_NO_FATAL_FAILURE(Start());
  EXPECT_EQ(fw(13, code::EncodeFanBehavior({1, code::FanMode::kFull})), 0);
  EXPECT_EQ(Line(enable), "0");
  process_->Kill();
  ASSERT_TRUE(process_->Wait(std::chrono::seconds(10)));
  process_.reset();
  EXPECT_EQ(Line(enable), "0");  // nothing runs after SIGKILL
  ASSERT_NO_FATAL_FAILURE(Start());
  EXPECT_TRUE(vt::WaitFor([&] { return Line(enable) == "2"; }, std::chrono::seconds(5)))
      << "the next start leaves the killed run's fan at full speed";
}
