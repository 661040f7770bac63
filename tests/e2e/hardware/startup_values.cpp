// The real hardware service publishes its start-up values before its pipe
// answers: model, brand, operation mode and (Linux, over fixture trees)
// overclock support; and a second start in the same session ends with 0.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "common/names.h"
#include "common/pipe_transport.h"
#include "common/process.h"
#include "common/registry.h"
#include "common/text.h"
#include "hardware/commands/command_processor.h"
#include "tests/support/test_env.h"

namespace {

namespace fs = std::filesystem;
using namespace vantrel;
namespace vt = vantrel::testing;

#ifdef _WIN32
constexpr bool kWindows = true;  // under Wine: WMI's model "Wine", no SMBIOS data, no PCI ids
#else
constexpr bool kWindows = false;
#endif

void Write(const fs::path& p, const std::string& data) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << data;
}

const wchar_t* const kValues[] = {L"Model_Name_1st", L"Model_Name_1st_brand", L"Operation_Mode_Support"};

class StartupValues : public ::testing::Test {
 protected:
  void SetUp() override {
    sys_ = fs::temp_directory_path() / text::ToUtf8(vt::UniqueName(L"hwstart_e2e_sys_"));
    env_ = std::make_unique<vt::ScopedTestEnv>(sys_.string());
    instance_ = std::make_unique<vt::ScopedEnvVar>("VANTREL_INSTANCE", text::ToUtf8(vt::UniqueName(L"_hws_")));
    Clean();
    // A fixture machine: a Rookane model with operation-mode support and an
    // NVIDIA adapter listed second in Tavrix.ini.
    Write(sys_ / "sys/class/dmi/id/product_name", "Rookane R15 X\n");
    std::string dmi{'\xAC', '\x0C', '\x01', '\x00', '\x00', '\x00', '\x0E', '\x00', '\x00', '\x0F', '\x01', '\x00'};
    dmi += std::string("\0\0", 2) + std::string{'\x7F', '\x04', '\x02', '\x00', '\x00', '\x00'};
    Write(sys_ / "sys/firmware/dmi/tables/DMI", dmi);
    const fs::path gpu = sys_ / "sys/bus/pci/devices/0000:01:00.0";
    Write(gpu / "class", "0x030000\n");
    Write(gpu / "vendor", "0x10de\n");
    Write(gpu / "device", "0x2560\n");
    Write(gpu / "subsystem_vendor", "0x1043\n");
    Write(gpu / "subsystem_device", "0x1f3f\n");
    Write(gpu / "revision", "0xa1\n");
    if (!kWindows) {
      Write(fs::path(env_->root()) / "programdata/oem/VantrelAgentService/Tavrix.ini",
            "[OC_GPU]\nCount=2\nGPUName1=DEV_9999\nGPUName2=DEV_2560\n");
    }
  }
  void TearDown() override {
    for (auto& p : processes_) {
      p->Kill();
      p->Wait(std::chrono::seconds(10));
    }
    Clean();
    instance_.reset();
    env_.reset();
    std::error_code ec;
    fs::remove_all(sys_, ec);
  }
  static void Clean() {
    for (const wchar_t* v : kValues) reg::SystemRegistry().DeleteValue(reg::Root::kLocalMachine, reg::kSuiteKey, v);
    reg::SystemRegistry().DeleteValue(reg::Root::kLocalMachine, reg::kOverclockKey, L"GPU_OC_Support");
  }
  proc::Process* Start() {
    std::map<std::wstring, std::wstring> child = env_->ChildEnv();
    child[L"VANTREL_INSTANCE"] = names::Instance(L"");
    auto p = proc::Process::Start(vt::ProgramPath(L"VantrelSysHardwareService"), {}, child);
    if (!p) return nullptr;
    processes_.push_back(std::move(p));
    return processes_.back().get();
  }
  static bool PipeAnswers() {
    pipe::PipeClient probe(names::Instance(vantrel::names::kHardwarePipe));
    return probe.Connect() == 0;
  }

  fs::path sys_;
  std::unique_ptr<vt::ScopedTestEnv> env_;
  std::unique_ptr<vt::ScopedEnvVar> instance_;
  std::vector<std::unique_ptr<proc::Process>> processes_;
};

TEST_F(StartupValues, PublishedBeforeThePipeAnswersAndASecondStartEndsWithZero) {
  proc::Process* first = Start();
  ASSERT_NE(first, nullptr);
  ASSERT_TRUE(vt::WaitFor(&PipeAnswers, std::chrono::seconds(30)));

  reg::Registry& r = reg::SystemRegistry();
  const auto root = reg::Root::kLocalMachine;
  EXPECT_EQ(reg::ReadString(r, root, reg::kSuiteKey, L"Model_Name_1st"), kWindows ? L"Wine" : L"Rookane R15 X");
  EXPECT_EQ(reg::ReadString(r, root, reg::kSuiteKey, L"Model_Name_1st_brand"), kWindows ? L"Vantrel" : L"Rookane");
  EXPECT_EQ(reg::ReadDword(r, root, reg::kSuiteKey, L"Operation_Mode_Support"), kWindows ? 0u : 1u);
  if (!kWindows) {
    EXPECT_EQ(reg::ReadDword(r, root, reg::kOverclockKey, L"GPU_OC_Support"), 1u);
  }

  proc::Process* second = Start();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->Wait(std::chrono::seconds(15)), std::optional<int>(0));
  EXPECT_TRUE(first->Running());
}

}  // namespace
