// The hardware service's start-up work on Linux against fixture trees: model
// and brand from the DMI product name, operation mode from the DMI table, the
// overclock search over PCI display devices and Tavrix.ini, the controller
// scan over hidraw, and the launcher key read from recorded device files.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <linux/input.h>

#include "common/paths.h"
#include "common/registry.h"
#include "common/text.h"
#include "hardware/input.h"
#include "hardware/launcher.h"
#include "hardware/platform_config.h"
#include "hardware/model_config.h"
#include "hardware/startup.h"
#include "tests/support/test_env.h"

namespace fs = std::filesystem;
namespace hw = vantrel::hw;
namespace reg = vantrel::reg;
using vantrel::testing::ScopedTestEnv;

namespace {

void Write(const fs::path& p, const std::string& data) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << data;
}

std::string DmiTable(bool operation_mode) {
  std::string bios{'\x00', '\x06', '\x00', '\x00', '\x01', '\x02'};
  bios += std::string("Vantrel\0V1.0\0\0", 14);
  std::string cap{'\xAC', '\x0C', '\x01', '\x00', '\x00', '\x00', '\x0E', '\x00', '\x00', '\x0F', '\x00', '\x00'};
  cap[10] = operation_mode ? '\x01' : '\x02';
  cap += std::string("\0\0", 2);
  return bios + cap + std::string{'\x7F', '\x04', '\x02', '\x00', '\x00', '\x00'};
}

void PciDevice(const fs::path& sys, const std::string& slot, const std::string& cls, const std::string& vendor,
               const std::string& device) {
  const fs::path d = sys / "sys/bus/pci/devices" / slot;
  Write(d / "class", cls + "\n");
  Write(d / "vendor", vendor + "\n");
  Write(d / "device", device + "\n");
  Write(d / "subsystem_vendor", "0x1043\n");
  Write(d / "subsystem_device", "0x1f3f\n");
  Write(d / "revision", "0xa1\n");
}

class Startup : public ::testing::Test {
 protected:
  void SetUp() override {
    sys_ = fs::temp_directory_path() / vantrel::text::ToUtf8(vantrel::testing::UniqueName(L"hwstart_sys_"));
    fs::create_directories(sys_);
    env_ = std::make_unique<ScopedTestEnv>(sys_.string());
  }
  void TearDown() override {
    env_.reset();
    std::error_code ec;
    fs::remove_all(sys_, ec);
    for (const fs::path& p : cleanup_) fs::remove(p, ec);
  }
  fs::path ProgramDataIni() const {
    return fs::path(vantrel::text::ToUtf8(vantrel::paths::MapWindowsPath(hw::kTavrixIniPath)));
  }
  std::optional<std::wstring> Suite(const wchar_t* name) {
    return reg::ReadString(reg::SystemRegistry(), reg::Root::kLocalMachine, reg::kSuiteKey, name);
  }
  std::optional<uint32_t> OcSupport() {
    return reg::ReadDword(reg::SystemRegistry(), reg::Root::kLocalMachine, reg::kOverclockKey, L"GPU_OC_Support");
  }

  fs::path sys_;
  std::unique_ptr<ScopedTestEnv> env_;
  std::vector<fs::path> cleanup_;
};

TEST_F(Startup, PublishesModelBrandOperationModeAndOverclockSupport) {
  Write(sys_ / "sys/class/dmi/id/product_name", "Rookane R15 X\n");
  Write(sys_ / "sys/firmware/dmi/tables/DMI", DmiTable(true));
  PciDevice(sys_, "0000:00:02.0", "0x060400", "0x8086", "0x1234");  // a bridge: not looked at
  PciDevice(sys_, "0000:01:00.0", "0x030200", "0x10de", "0x2560");
  // The model-named file next to the executable lists nothing that matches;
  // Tavrix.ini in ProgramData wins and lists the GPU second.
  const fs::path model_ini = fs::path(vantrel::text::ToUtf8(vantrel::paths::ExecutableDir())) / "Rookane R15 X.ini";
  Write(model_ini, "[OC_GPU]\nCount=1\nGPUName1=NOMATCH\n");
  cleanup_.push_back(model_ini);
  Write(ProgramDataIni(), "[oc_gpu]\ncount=2\nGPUName1=DEV_9999\nGPUName2=VEN_10DE&DEV_2560\n");

  hw::RunListenerStartup(reg::SystemRegistry(), hw::DefaultListenerStartupHooks());
  EXPECT_EQ(Suite(L"Model_Name_1st"), L"Rookane R15 X");
  EXPECT_EQ(Suite(L"Model_Name_1st_brand"), L"Rookane");
  EXPECT_EQ(reg::ReadDword(reg::SystemRegistry(), reg::Root::kLocalMachine, reg::kSuiteKey, L"Operation_Mode_Support"),
            1u);
  EXPECT_EQ(OcSupport(), 1u);
  EXPECT_EQ(hw::DisplayAdapterHardwareIds(),
            (std::vector<std::wstring>{L"PCI\\VEN_10DE&DEV_2560&SUBSYS_1F3F1043&REV_A1"}));

  // Without Tavrix.ini the model-named file is read: no match, and the value stays.
  fs::remove(ProgramDataIni());
  reg::WriteDword(reg::SystemRegistry(), reg::Root::kLocalMachine, reg::kOverclockKey, L"GPU_OC_Support", 5);
  hw::RunOverclockSearch(L"Rookane R15 X");
  EXPECT_EQ(OcSupport(), 5u);
}

TEST_F(Startup, NoModelWritesNeitherValueAndAMissingCountLeavesTheValue) {
  Write(sys_ / "sys/firmware/dmi/tables/DMI", DmiTable(false));
  PciDevice(sys_, "0000:01:00.0", "0x030000", "0x10de", "0x2560");
  Write(ProgramDataIni(), "[OC_GPU]\nGPUName1=DEV_2560\n");
  reg::WriteDword(reg::SystemRegistry(), reg::Root::kLocalMachine, reg::kOverclockKey, L"GPU_OC_Support", 3);

  hw::RunListenerStartup(reg::SystemRegistry(), hw::DefaultListenerStartupHooks());
  EXPECT_FALSE(Suite(L"Model_Name_1st"));
  EXPECT_FALSE(Suite(L"Model_Name_1st_brand"));
  EXPECT_EQ(reg::ReadDword(reg::SystemRegistry(), reg::Root::kLocalMachine, reg::kSuiteKey, L"Operation_Mode_Support"),
            0u);
  EXPECT_EQ(OcSupport(), 3u);
}

TEST_F(Startup, ModelTextEdges) {
  // Lower-case and joined brand words, and an oversized attribute read only in part.
  Write(sys_ / "sys/class/dmi/id/product_name", "rookane r15\n");
  EXPECT_EQ(hw::ReadComputerModel(), L"rookane r15");
  EXPECT_EQ(hw::BrandFromModel(*hw::ReadComputerModel()), L"Vantrel");
  Write(sys_ / "sys/class/dmi/id/product_name", "RookaneX");
  EXPECT_EQ(hw::BrandFromModel(*hw::ReadComputerModel()), L"Vantrel");
  Write(sys_ / "sys/class/dmi/id/product_name", std::string(100000, 'M'));
  const auto model = hw::ReadComputerModel();
  ASSERT_TRUE(model);
  EXPECT_LE(model->size(), 4096u);
  // A model far longer than a path buffer: the search finds no file and writes nothing.
  hw::RunOverclockSearch(*model);
  EXPECT_FALSE(OcSupport());
}

TEST_F(Startup, ControllerScanOverHidraw) {
  const std::string controller_descriptor = {'\x06', '\x00', '\xFF', '\x09', '\x01', '\xA1', '\x01', '\x85', '\x05',
                                             '\x75', '\x08', '\x95', '\x08', '\xB1', '\x02', '\xC0'};
  const fs::path hidraw = sys_ / "sys/class/hidraw";
  Write(hidraw / "hidraw0/device/uevent", "HID_ID=0003:0000046D:0000C52B\n");
  Write(hidraw / "hidraw0/device/report_descriptor", controller_descriptor);
  hw::ScanKeyboardController();
  EXPECT_FALSE(hw::KeyboardControllerFlag());  // another vendor

  Write(hidraw / "hidraw1/device/uevent", "HID_ID=0003:00003A71:0000174B\n");
  std::string seven = controller_descriptor;
  seven[12] = '\x07';  // 7 data bytes: an 8-byte feature report
  Write(hidraw / "hidraw1/device/report_descriptor", seven);
  hw::ScanKeyboardController();
  EXPECT_FALSE(hw::KeyboardControllerFlag());

  Write(hidraw / "hidraw2/device/uevent", "HID_ID=0003:00003A71:0000174B\n");
  Write(hidraw / "hidraw2/device/report_descriptor", controller_descriptor);
  hw::ScanKeyboardController();
  EXPECT_TRUE(hw::KeyboardControllerFlag());
  EXPECT_EQ(hw::ControllerHidrawNodes(),
            (std::vector<std::string>{(sys_ / "dev/hidraw1").string(), (sys_ / "dev/hidraw2").string()}));
  hw::SetKeyboardControllerFlag(false);
}

// Counted by the reader threads, which outlive the test that started them.
std::atomic<int> g_keys{0};
std::atomic<int> g_ctrl_keys{0};

TEST_F(Startup, InputReaderTakesRecordedEventsAndControllerReports) {
  std::vector<input_event> events;
  auto add = [&](uint16_t type, uint16_t code, int32_t value) {
    input_event e{};
    e.type = type;
    e.code = code;
    e.value = value;
    events.push_back(e);
  };
  add(EV_MSC, MSC_SCAN, 0xF5), add(EV_KEY, 148, 1), add(EV_SYN, 0, 0);
  add(EV_MSC, MSC_SCAN, 0xF5), add(EV_KEY, 148, 0), add(EV_SYN, 0, 0);
  add(EV_KEY, KEY_LEFTCTRL, 1), add(EV_SYN, 0, 0);
  add(EV_MSC, MSC_SCAN, 0xF5), add(EV_KEY, 148, 0), add(EV_SYN, 0, 0);
  Write(sys_ / "dev/input/event3",
        std::string(reinterpret_cast<const char*>(events.data()), events.size() * sizeof(input_event)));
  Write(sys_ / "sys/class/hidraw/hidraw0/device/uevent", "HID_ID=0003:00003A71:0000174B\n");
  Write(sys_ / "dev/hidraw0", std::string{'\x05', '\x81', '\xFF', '\x00', '\x00'});

  g_keys = 0;
  g_ctrl_keys = 0;
  ASSERT_TRUE(hw::StartInputReader([](const hw::ModifierState& s) {
    ++g_keys;
    if (s.ctrl) ++g_ctrl_keys;
  }));
  EXPECT_TRUE(vantrel::testing::WaitFor([] { return g_keys.load() == 3; }, std::chrono::seconds(10)));
  EXPECT_EQ(g_ctrl_keys.load(), 1);  // the second key press; the HID report comes from another device

  // Nothing readable: reported, nothing started.
  fs::remove_all(sys_ / "dev");
  EXPECT_FALSE(hw::StartInputReader([](const hw::ModifierState&) {}));
}

TEST_F(Startup, LaunchersLiveUnderTheProgramsFolder) {
  vantrel::testing::ScopedEnvVar programs("VANTREL_PROGRAMS_DIR", std::string("/srv/programs"));
  EXPECT_EQ(hw::LauncherPath(hw::Launcher::kTavrix), L"/srv/programs/Tavrix/Prerequisites/TavrixLauncher.exe");
  vantrel::testing::ScopedEnvVar unset("VANTREL_PROGRAMS_DIR", std::nullopt);
  EXPECT_EQ(hw::LauncherPath(hw::Launcher::kZorvik), L"/opt/Zorvik/Prerequisites/ZorvikLauncher.exe");
  env_->WritePlatformConfig("none", "/usr/lib/vr");
  EXPECT_EQ(hw::LauncherPath(hw::Launcher::kZorvik), L"/usr/lib/vr/Zorvik/Prerequisites/ZorvikLauncher.exe");

  // The registry store, which every pipe client can write, no longer decides.
  reg::WriteString(reg::SystemRegistry(), reg::Root::kLocalMachine, reg::kPlatformKey, L"ProgramsFolder",
                   L"/attacker/dir");
  EXPECT_EQ(hw::LauncherPath(hw::Launcher::kZorvik), L"/usr/lib/vr/Zorvik/Prerequisites/ZorvikLauncher.exe");

  // A file another account could have written is not believed.
  const fs::path conf = fs::path(env_->root()) / "vantrel.conf";
  fs::permissions(conf, fs::perms::group_write, fs::perm_options::add);
  EXPECT_EQ(hw::LauncherPath(hw::Launcher::kZorvik), L"/opt/Zorvik/Prerequisites/ZorvikLauncher.exe");
  fs::permissions(conf, fs::perms::group_write, fs::perm_options::remove);
  EXPECT_EQ(hw::ReadPlatformConfig().programs_folder, "/usr/lib/vr");
}

}  // namespace
