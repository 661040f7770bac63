// The hardware service's start-up work on Windows (run under Wine): the model
// from WMI, the registry writes of the start-up and of the overclock search
// with Tavrix.ini in ProgramData, and the facilities Wine lacks failing
// cleanly (display adapters, HID, the firmware event subscription).
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/paths.h"
#include "common/registry.h"
#include "common/text.h"
#include "hardware/input/input.h"
#include "hardware/launcher/launcher.h"
#include "hardware/model/model_config.h"
#include "hardware/startup.h"
#include "tests/support/test_env.h"

namespace fs = std::filesystem;
namespace hw = vantrel::hw;
namespace reg = vantrel::reg;

namespace {

const wchar_t* const kSuiteValues[] = {L"Model_Name_1st", L"Model_Name_1st_brand", L"Operation_Mode_Support"};

// The start-up writes fixed names in HKLM: each test puts back what was there.
class WineStartup : public ::testing::Test {
 protected:
  void SetUp() override { Clean(); }
  void TearDown() override { Clean(); }
  static void Clean() {
    for (const wchar_t* v : kSuiteValues) reg::SystemRegistry().DeleteValue(reg::Root::kLocalMachine, reg::kSuiteKey, v);
    reg::SystemRegistry().DeleteValue(reg::Root::kLocalMachine, reg::kOverclockKey, L"GPU_OC_Support");
    std::error_code ec;
    fs::remove(fs::path(hw::kTavrixIniPath), ec);
  }
  static std::optional<std::wstring> Suite(const wchar_t* name) {
    return reg::ReadString(reg::SystemRegistry(), reg::Root::kLocalMachine, reg::kSuiteKey, name);
  }
};

TEST_F(WineStartup, ModelComesFromWmi) {
  const auto model = hw::ReadComputerModel();
  ASSERT_TRUE(model);
  EXPECT_EQ(*model, L"Wine");
  EXPECT_EQ(hw::BrandFromModel(*model), L"Vantrel");
}

TEST_F(WineStartup, BrandRuleThroughTheRegistry) {
  struct Case {
    std::optional<std::wstring> model;
    const wchar_t* brand;
  } cases[] = {{L"Rookane R15 X", L"Rookane"}, {L"rookane r15", L"Vantrel"}, {L"RookaneX", L"Vantrel"},
               {std::nullopt, nullptr}};
  for (const Case& c : cases) {
    Clean();
    hw::ListenerStartupHooks hooks;
    hooks.read_model = [&] { return c.model; };
    hooks.operation_mode_support = &hw::QueryOperationModeSupport;
    hw::RunListenerStartup(reg::SystemRegistry(), hooks);
    EXPECT_EQ(Suite(L"Model_Name_1st"), c.model);
    EXPECT_EQ(Suite(L"Model_Name_1st_brand"), c.brand ? std::optional<std::wstring>(c.brand) : std::nullopt);
    // Wine's SMBIOS class has no table data: no operation-mode support.
    EXPECT_EQ(reg::ReadDword(reg::SystemRegistry(), reg::Root::kLocalMachine, reg::kSuiteKey, L"Operation_Mode_Support"),
              0u);
  }
}

TEST_F(WineStartup, TavrixIniInProgramDataWins) {
  hw::OverclockEnvironment env = hw::SystemOverclockEnvironment();
  // Wine has no display adapter with a PCI id; the search sees one.
  env.display_hardware_ids = [] {
    return std::optional<std::vector<std::wstring>>({L"PCI\\VEN_10DE&DEV_2560&SUBSYS_1F3F1043&REV_A1"});
  };
  const std::wstring model = vantrel::testing::UniqueName(L"WineModel");
  const fs::path model_ini = fs::path(env.exe_dir) / (model + L".ini");
  std::ofstream(model_ini, std::ios::binary) << "[OC_GPU]\r\nCount=1\r\nGPUName1=NOMATCH\r\n";
  EXPECT_EQ(hw::ChooseIniPath(model, env), model_ini.wstring());
  EXPECT_FALSE(hw::SearchGpuOcSupport(model, env));

  fs::create_directories(fs::path(hw::kTavrixIniPath).parent_path());
  std::ofstream(fs::path(hw::kTavrixIniPath), std::ios::binary)
      << "[OC_GPU]\r\nCount=2\r\nGPUName1=DEV_9999\r\nGPUName2=DEV_2560\r\n";
  EXPECT_EQ(hw::ChooseIniPath(model, env), std::wstring(hw::kTavrixIniPath));
  EXPECT_TRUE(hw::SearchGpuOcSupport(model, env));
  EXPECT_EQ(reg::ReadDword(reg::SystemRegistry(), reg::Root::kLocalMachine, reg::kOverclockKey, L"GPU_OC_Support"), 1u);

  // A missing Count leaves the value as it was.
  std::ofstream(fs::path(hw::kTavrixIniPath), std::ios::binary) << "[OC_GPU]\r\nGPUName1=DEV_2560\r\n";
  reg::WriteDword(reg::SystemRegistry(), reg::Root::kLocalMachine, reg::kOverclockKey, L"GPU_OC_Support", 4);
  EXPECT_FALSE(hw::SearchGpuOcSupport(model, env));
  EXPECT_EQ(reg::ReadDword(reg::SystemRegistry(), reg::Root::kLocalMachine, reg::kOverclockKey, L"GPU_OC_Support"), 4u);
  std::error_code ec;
  fs::remove(model_ini, ec);
}

TEST_F(WineStartup, MissingFacilitiesFailCleanly) {
  // Whatever Wine lists, every id is whole text and the call returns.
  if (const auto ids = hw::DisplayAdapterHardwareIds()) {
    for (const std::wstring& id : *ids) EXPECT_EQ(id.find(L'\0'), std::wstring::npos);
  }
  hw::ScanKeyboardController();
  EXPECT_FALSE(hw::KeyboardControllerFlag());
  // No VRGeEvent class: the subscription fails, is logged and the caller goes on.
  hw::SubscribeFirmwareEvents(nullptr);
  hw::SubscribeFirmwareEvents(nullptr);  // a second call keeps the first connection
  // No console user token for this process: nothing starts.
  EXPECT_FALSE(hw::StartInConsoleSession(std::wstring(L"C:\\nonexistent\\launcher.exe"), std::nullopt));
}


}  // namespace
