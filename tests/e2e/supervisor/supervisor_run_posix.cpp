// The supervisor as a plain process (no systemd): it starts both workers,
// brings back a worker killed with SIGKILL in the next cycle, leaves exactly
// one of each running, reports to the notify socket, and at SIGTERM ends both
// workers and exits 0, giving the hardware service time to hand the fans it
// steers back to the driver.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "common/diag_log.h"
#include "common/paths.h"
#include "common/pipe_message.h"
#include "common/pipe_transport.h"
#include "common/process.h"
#include "common/registry.h"
#include "common/text.h"
#include "tests/support/test_env.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vantrel::proc::Process;

constexpr uint32_t kSleepTimeMs = 800;

std::string ExeTarget(uint32_t pid) {
  std::error_code ec;
  return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).string();
}

// Where the workers come from: the stand-ins, or the suite's real programs.
enum class WorkerKind { kStandIns, kReal };

std::string WorkerSource(WorkerKind kind) {
  if (kind == WorkerKind::kStandIns) return VANTREL_STANDIN_DIR;
  std::string bin = vantrel::text::ToUtf8(vantrel::testing::ProgramPath(L"VantrelCentralService"));
  return bin.substr(0, bin.rfind('/'));
}

class SupervisorRun : public ::testing::TestWithParam<WorkerKind> {
 protected:
  void SetUp() override {
    dir_ = env_.root() + "/install";
    fs::create_directories(dir_);
    const std::string source = WorkerSource(GetParam());
    for (const char* name : {"VantrelSysMonitorService", "VantrelSysHardwareService"}) {
      ASSERT_TRUE(fs::exists(source + "/" + name)) << name << " is not built";
      fs::copy_file(source + "/" + name, dir_ + "/" + name);
    }
    fs::copy_file(vantrel::text::ToUtf8(vantrel::testing::ProgramPath(L"VantrelCentralService")),
                  dir_ + "/VantrelCentralService");
    auto& registry = vantrel::reg::SystemRegistry();
    ASSERT_EQ(vantrel::reg::WriteDword(registry, vantrel::reg::Root::kLocalMachine, vantrel::reg::kSuiteKey,
                                       L"Sleep_time", kSleepTimeMs),
              0u);
    // The supervisor's diagnostic log on.
    ASSERT_EQ(vantrel::reg::WriteString(registry, vantrel::reg::Root::kLocalMachine, vantrel::reg::kLogKey, L"VACSvc",
                                        L""),
              0u);

    notify_path_ = env_.root() + "/notify.sock";
    notify_fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(notify_fd_, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(notify_path_.size(), sizeof addr.sun_path);
    std::strcpy(addr.sun_path, notify_path_.c_str());
    ASSERT_EQ(bind(notify_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  }

  void TearDown() override {
    if (supervisor_ && supervisor_->Running()) {
      supervisor_->Kill();
      supervisor_->Wait(10s);
    }
    for (const char* name : {"VantrelSysMonitorService", "VantrelSysHardwareService"}) {
      for (uint32_t pid : Workers(name)) vantrel::proc::TerminateProcessById(pid, 9);
    }
    if (notify_fd_ >= 0) close(notify_fd_);
  }

  // Processes of that name started from this test's install folder.
  std::vector<uint32_t> Workers(const std::string& name) {
    std::vector<uint32_t> out;
    for (uint32_t pid : vantrel::proc::FindProcessesByName(vantrel::text::FromUtf8(name))) {
      if (ExeTarget(pid) == dir_ + "/" + name) out.push_back(pid);
    }
    return out;
  }

  // The single worker of that name once duplicates have ended, else 0.
  uint32_t SoleWorker(const std::string& name, std::chrono::milliseconds timeout = 5s) {
    uint32_t pid = 0;
    vantrel::testing::WaitFor(
        [&] {
          auto ids = Workers(name);
          pid = ids.size() == 1 ? ids[0] : 0;
          return pid != 0;
        },
        timeout);
    return pid;
  }

  int StartCount(const std::string& name) {
    std::ifstream in(vantrel::paths::RuntimeDir() + "/" + name + ".starts");
    int lines = 0;
    std::string line;
    while (std::getline(in, line)) ++lines;
    return lines;
  }

  std::string ReadLog() {
    std::ifstream in(vantrel::text::ToUtf8(vantrel::paths::ProgramData()) + "/OEM/VantrelSysMonitorService/Log/" +
                         vantrel::text::ToUtf8(vantrel::CurrentUserName()) + "_VantrelSysCentralService.log",
                     std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  std::string DrainNotifications() {
    std::string all;
    char buf[4096];
    for (;;) {
      ssize_t n = recv(notify_fd_, buf, sizeof buf, MSG_DONTWAIT);
      if (n <= 0) break;
      all.append(buf, static_cast<size_t>(n));
      all += '\n';
    }
    return all;
  }

  void StartSupervisor() {
    auto child_env = env_.ChildEnv();
    child_env[L"NOTIFY_SOCKET"] = vantrel::text::FromUtf8(notify_path_);
    // The real agent listens on TCP and both real workers name their pipes and
    // guards after the instance: keep them apart from other test runs.
    child_env[L"VANTREL_AGENT_PORT"] = std::to_wstring(vantrel::testing::FreeTcpPort());
    instance_ = vantrel::testing::UniqueName(L"_sup");
    child_env[L"VANTREL_INSTANCE"] = instance_;
    if (!sysroot_.empty()) child_env[L"VANTREL_SYSROOT"] = vantrel::text::FromUtf8(sysroot_);
    // No logind here: the system bus is made unreachable, so no events arrive.
    child_env[L"DBUS_SYSTEM_BUS_ADDRESS"] = vantrel::text::FromUtf8("unix:path=" + env_.root() + "/no-bus");
    uint32_t error = 0;
    supervisor_ = Process::Start(vantrel::text::FromUtf8(dir_ + "/VantrelCentralService"), {}, child_env, &error);
    ASSERT_TRUE(supervisor_) << error;
  }

  vantrel::testing::ScopedTestEnv env_;
  std::string dir_;
  std::string notify_path_;
  int notify_fd_ = -1;
  std::unique_ptr<Process> supervisor_;
  std::wstring instance_;
  std::string sysroot_;  // the workers' VANTREL_SYSROOT when set
};

TEST_P(SupervisorRun, KeepsOneOfEachWorkerAndEndsThemAtSigterm) {
  StartSupervisor();
  uint32_t agent = SoleWorker("VantrelSysMonitorService", 15s);
  uint32_t hardware = SoleWorker("VantrelSysHardwareService", 15s);
  ASSERT_NE(agent, 0u);
  ASSERT_NE(hardware, 0u);
  EXPECT_TRUE(vantrel::testing::WaitFor([&] { return DrainNotifications().find("READY=1") != std::string::npos; },
                                        5s));

  // Several cycles: each starts a duplicate of both, which ends through the
  // guard; the first workers keep running and stay the only ones.
  const int agent_starts = StartCount("VantrelSysMonitorService");
  for (int sample = 0; sample < 6; ++sample) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kSleepTimeMs / 2));
    EXPECT_EQ(SoleWorker("VantrelSysMonitorService"), agent);
    EXPECT_EQ(SoleWorker("VantrelSysHardwareService"), hardware);
  }
  if (GetParam() == WorkerKind::kStandIns) {
    EXPECT_GE(StartCount("VantrelSysMonitorService") - agent_starts, 2);
  }

  // SIGKILL: the next cycle starts it again.
  ASSERT_EQ(kill(static_cast<pid_t>(agent), SIGKILL), 0);
  uint32_t new_agent = 0;
  EXPECT_TRUE(vantrel::testing::WaitFor(
      [&] {
        auto ids = Workers("VantrelSysMonitorService");
        new_agent = ids.size() == 1 && ids[0] != agent ? ids[0] : 0;
        return new_agent != 0;
      },
      std::chrono::milliseconds(kSleepTimeMs) + 5s));
  ASSERT_EQ(kill(static_cast<pid_t>(hardware), SIGKILL), 0);
  uint32_t new_hardware = 0;
  EXPECT_TRUE(vantrel::testing::WaitFor(
      [&] {
        auto ids = Workers("VantrelSysHardwareService");
        new_hardware = ids.size() == 1 && ids[0] != hardware ? ids[0] : 0;
        return new_hardware != 0;
      },
      std::chrono::milliseconds(kSleepTimeMs) + 5s));
  EXPECT_EQ(SoleWorker("VantrelSysMonitorService"), new_agent);

  supervisor_->RequestStop();
  EXPECT_EQ(supervisor_->Wait(15s), 0);
  // SIGKILL is delivered at once but the process takes a moment to go.
  EXPECT_TRUE(vantrel::testing::WaitFor(
      [&] { return Workers("VantrelSysMonitorService").empty() && Workers("VantrelSysHardwareService").empty(); },
      3s));
  // Nothing comes back after the stop.
  std::this_thread::sleep_for(std::chrono::milliseconds(kSleepTimeMs) + 500ms);
  EXPECT_TRUE(Workers("VantrelSysMonitorService").empty());
  EXPECT_TRUE(Workers("VantrelSysHardwareService").empty());
  EXPECT_NE(DrainNotifications().find("STOPPING=1"), std::string::npos);

  const std::string log = ReadLog();
  for (const char* line : {"[INFO]      ", " | VantrelSysCentralService | OnStart | Vantrel Agent Service Central in OnStart\r\n",
                           " | ServiceWorkerThread | ServiceWorkerThread Enter\r\n",
                           " | CServiceInstance::monitorProcess | Launch VantrelSysMonitorService start\r\n",
                           " | CServiceInstance::monitorProcess | Launch VantrelSysHardwareService end\r\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
}

TEST_P(SupervisorRun, LeavesSameNamedProgramsElsewhereAlone) {
  // A program with the agent's name outside the install folder is not the
  // supervisor's worker: it does not stand in for one and is not ended.
  std::string other_dir = env_.root() + "/elsewhere";
  fs::create_directories(other_dir);
  fs::copy_file(std::string(VANTREL_STANDIN_DIR) + "/VantrelSysMonitorService", other_dir + "/VantrelSysMonitorService");
  auto other_env = env_.ChildEnv();
  other_env[L"VANTREL_RUNTIME_DIR"] = vantrel::text::FromUtf8(other_dir);
  auto stranger = Process::Start(vantrel::text::FromUtf8(other_dir + "/VantrelSysMonitorService"), {}, other_env);
  ASSERT_TRUE(stranger);

  StartSupervisor();
  EXPECT_NE(SoleWorker("VantrelSysMonitorService", 15s), 0u);
  supervisor_->RequestStop();
  EXPECT_EQ(supervisor_->Wait(15s), 0);
  EXPECT_TRUE(stranger->Running());
  stranger->Kill();
  stranger->Wait(10s);
}

// A fixture fan under the linux firmware backend, driven through the real
// hardware service.
class SupervisedFan : public SupervisorRun {
 protected:
  void SetUp() override {
    SupervisorRun::SetUp();
    if (IsSkipped() || GetParam() != WorkerKind::kReal) GTEST_SKIP() << "the stand-ins steer no fan";
    sysroot_ = env_.root() + "/sysroot";
    hwmon_ = fs::path(sysroot_) / "sys/class/hwmon/hwmon0";
    fs::create_directories(hwmon_);
    std::ofstream(hwmon_ / "name") << "thinkpad\n";
    std::ofstream(hwmon_ / "pwm1") << "128\n";
    std::ofstream(hwmon_ / "pwm1_enable") << "2\n";
    env_.WritePlatformConfig("linux");
  }

  std::string Enable() const {
    std::ifstream in(hwmon_ / "pwm1_enable");
    std::string line;
    std::getline(in, line);
    return line;
  }

  // Fan 1 at 40 %, which takes it out of automatic mode.
  void SetManual() {
    const auto speed = vantrel::pipe::U64Bytes(0x2801);
    const std::vector<vantrel::pipe::PipeArg> args{{8, speed.data()}};
    std::vector<uint8_t> reply;
    EXPECT_TRUE(vantrel::testing::WaitFor(
        [&] {
          return vantrel::pipe::PipeTransact(L"tavrix_hardware_service_" + instance_, 15, args, &reply, 5s) == 0;
        },
        10s));
    ASSERT_EQ(Enable(), "1");
  }

  fs::path hwmon_;
};

TEST_P(SupervisedFan, AStopGivesItBackToTheDriver) {
  StartSupervisor();
  ASSERT_NE(SoleWorker("VantrelSysHardwareService", 15s), 0u);
  ASSERT_NO_FATAL_FAILURE(SetManual());
  supervisor_->RequestStop();
  EXPECT_EQ(supervisor_->Wait(15s), 0);
  EXPECT_EQ(Enable(), "2");
}

TEST_P(SupervisedFan, AKilledHardwareServiceHasItGivenBackAtOnce) {
  // A cycle far away: only the supervisor's watch on the worker can act in time.
  ASSERT_EQ(vantrel::reg::WriteDword(vantrel::reg::SystemRegistry(), vantrel::reg::Root::kLocalMachine,
                                     vantrel::reg::kSuiteKey, L"Sleep_time", 60000),
            0u);
  StartSupervisor();
  const uint32_t hardware = SoleWorker("VantrelSysHardwareService", 15s);
  ASSERT_NE(hardware, 0u);
  ASSERT_NO_FATAL_FAILURE(SetManual());
  ASSERT_EQ(kill(static_cast<pid_t>(hardware), SIGKILL), 0);
  EXPECT_TRUE(vantrel::testing::WaitFor([&] { return Enable() == "2"; }, 5s));
  EXPECT_TRUE(Workers("VantrelSysHardwareService").empty()) << "restarted: the start-up, not the watch, acted";
}

INSTANTIATE_TEST_SUITE_P(WorkerKinds, SupervisedFan, ::testing::Values(WorkerKind::kReal),
                         [](const auto&) { return "Real"; });

INSTANTIATE_TEST_SUITE_P(WorkerKinds, SupervisorRun, ::testing::Values(WorkerKind::kStandIns, WorkerKind::kReal),
                         [](const auto& info) { return info.param == WorkerKind::kReal ? "Real" : "StandIns"; });

}  // namespace
