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

#include <fcntl.h>
#include <linux/input.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <thread>

#include "common/paths.h"
#include "common/process.h"
#include "common/registry.h"
#include "common/text.h"
#include "hardware/input/input.h"
#include "common/diag_log.h"
#include "hardware/launcher/launcher.h"
#include "hardware/launcher/session.h"
#include "hardware/platform_config.h"
#include "hardware/model/model_config.h"
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

// A launched program starts with an empty signal mask and default
// dispositions, whatever the launching thread blocked or ignored.
TEST_F(Startup, LaunchedProgramsGetCleanSignalState) {
  vantrel::proc::LaunchOptions detached;
  detached.detached = true;
  const fs::path out = fs::path(env_->root()) / "status";
  std::thread([&] {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int sig : {SIGHUP, SIGINT, SIGTERM}) sigaddset(&blocked, sig);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction old {};
    sigaction(SIGUSR2, &ignore, &old);
    // dd reads its own status: no shell in between, which could reset the mask.
    EXPECT_TRUE(vantrel::proc::Process::Launch(
        L"/bin/dd", {L"if=/proc/self/status", vantrel::text::FromUtf8("of=" + out.string()), L"bs=65536"},
        detached));
    sigaction(SIGUSR2, &old, nullptr);
  }).join();
  auto written = [&] {
    std::ifstream in(out);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  ASSERT_TRUE(vantrel::testing::WaitFor([&] { return written().find("\nSigCgt:") != std::string::npos; },
                                        std::chrono::seconds(10)));
  std::istringstream in(written());
  std::map<std::string, std::string> fields;
  std::string line;
  while (std::getline(in, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const size_t value = line.find_first_not_of(" \t", colon + 1);
    fields[line.substr(0, colon)] = value == std::string::npos ? "" : line.substr(value);
  }
  EXPECT_EQ(fields["SigBlk"], "0000000000000000");
  EXPECT_EQ(fields["SigIgn"], "0000000000000000");
  EXPECT_FALSE(vantrel::proc::Process::Launch(vantrel::text::FromUtf8((fs::path(env_->root()) / "missing").string()), {},
                                              detached));
}

std::vector<input_event> LauncherKeyEvents() {
  std::vector<input_event> events(3);
  events[0].type = EV_MSC, events[0].code = MSC_SCAN, events[0].value = 0xF5;
  events[1].type = EV_KEY, events[1].code = 148, events[1].value = 0;
  events[2].type = EV_SYN;
  return events;
}

// Writes the launcher key's release into the FIFO (blocks until the reader has it open).
void PressKey(const fs::path& fifo) {
  const int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const std::vector<input_event> events = LauncherKeyEvents();
  const ssize_t size = static_cast<ssize_t>(events.size() * sizeof(input_event));
  EXPECT_EQ(write(fd, events.data(), static_cast<size_t>(size)), size);
  close(fd);
}

std::atomic<int> g_watched_keys{0};

// Devices that appear after the reader started are read, and so is a device
// that is unplugged and plugged in again.
TEST_F(Startup, InputReaderPicksUpDevicesPluggedInLater) {
  fs::create_directories(sys_ / "dev/input");
  g_watched_keys = 0;
  ASSERT_TRUE(hw::StartInputReader([](const hw::ModifierState&) { ++g_watched_keys; }));

  const fs::path node = sys_ / "dev/input/event7";
  for (int plug = 1; plug <= 2; ++plug) {
    SCOPED_TRACE(plug == 1 ? "plugged in after start" : "plugged in again");
    ASSERT_EQ(mkfifo(node.c_str(), 0600), 0);
    // open() for writing waits until the reader has opened the node: bound it.
    std::thread writer([&] { PressKey(node); });
    const bool seen = vantrel::testing::WaitFor([&] { return g_watched_keys.load() == plug; },
                                                std::chrono::seconds(10));
    if (!seen) {
      const int unblock = open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // releases the writer
      writer.join();
      close(unblock);
      FAIL() << "the key on the new device was not seen";
    }
    writer.join();
    fs::remove(node);  // unplugged
  }
}

// The controller flag is set before the reader can act on a report that is
// already waiting: the Tavrix launcher, never Zorvik.
TEST_F(Startup, AReportWaitingAtStartSeesTheControllerFlag) {
  static vantrel::DiagnosticLog* log = nullptr;
  const std::string log_path = env_->root() + "/keys.log";
  log = new vantrel::DiagnosticLog(vantrel::text::FromUtf8(log_path), L"VantrelSysHardwareService");
  vantrel::SetProcessLog(log);
  vantrel::testing::ScopedEnvVar programs("VANTREL_PROGRAMS_DIR", env_->root());
  reg::WriteString(reg::SystemRegistry(), reg::Root::kLocalMachine, reg::kSuiteKey, L"Model_Name_1st_brand",
                   L"Rookane");
  const std::string controller_descriptor = {'\x06', '\x00', '\xFF', '\x09', '\x01', '\xA1', '\x01', '\x85', '\x05',
                                             '\x75', '\x08', '\x95', '\x08', '\xB1', '\x02', '\xC0'};
  // Several starts, each on its own device tree, so one run's reader never sees another's devices.
  constexpr int kRuns = 4;
  for (int run = 0; run < kRuns; ++run) {
    const fs::path sys = sys_ / ("run" + std::to_string(run));
    // Other HID devices listed before the controller make the scan take a
    // while, as on a machine with many devices; the report is read meanwhile.
    for (int other = 100; other < 400; ++other) {
      Write(sys / "sys/class/hidraw" / ("hidraw" + std::to_string(other)) / "device/uevent",
            "HID_ID=0003:0000046D:0000C52B\n");
    }
    Write(sys / "sys/class/hidraw/hidraw900/device/uevent", "HID_ID=0003:00003A71:0000174B\n");
    Write(sys / "sys/class/hidraw/hidraw900/device/report_descriptor", controller_descriptor);
    Write(sys / "dev/hidraw900", std::string{'\x05', '\x81', '\xFF', '\x00', '\x00'});
    vantrel::testing::ScopedEnvVar sysroot("VANTREL_SYSROOT", sys.string());
    hw::SetKeyboardControllerFlag(false);
    hw::StartKeyboardWatch(nullptr);
    ASSERT_TRUE(vantrel::testing::WaitFor(
        [&] {
          std::ifstream in(log_path);
          std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
          size_t n = 0;
          for (size_t p = text.find("File path: "); p != std::string::npos; p = text.find("File path: ", p + 1)) ++n;
          return n == static_cast<size_t>(run + 1);
        },
        std::chrono::seconds(10)));
  }
  vantrel::SetProcessLog(nullptr);
  std::ifstream in(log_path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.find("ZorvikLauncher"), std::string::npos) << text;
  size_t tavrix = 0;
  for (size_t p = text.find("TavrixLauncher.exe"); p != std::string::npos; p = text.find("TavrixLauncher.exe", p + 1)) {
    ++tavrix;
  }
  EXPECT_EQ(tavrix, static_cast<size_t>(kRuns)) << text;
  hw::SetKeyboardControllerFlag(false);
}

}  // namespace
