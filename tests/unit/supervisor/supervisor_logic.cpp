// The process supervisor against a fake operating system and registry: the
// monitor cycle's attempts, Sleep_time and its repairs, power and session
// events, the tag-file recovery, the console-connect relaunch, start and stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <mutex>
#include <thread>

#include "common/paths.h"
#include "common/registry.h"
#include "common/text.h"
#include "common/win32_errors.h"
#include "supervisor/service_instance.h"
#include "tests/support/memory_registry.h"
#include "tests/support/test_env.h"

namespace vantrel::supervisor {
namespace {

using namespace std::chrono_literals;

// The shared in-memory registry with shortcuts for Sleep_time.
class FakeRegistry : public testing::MemoryRegistry {
 public:
  std::optional<Value> SleepTime() { return Get(reg::Root::kLocalMachine, reg::kSuiteKey, L"Sleep_time"); }
  void PutSleepTime(uint32_t type, std::vector<uint8_t> data) {
    Put(reg::Root::kLocalMachine, reg::kSuiteKey, L"Sleep_time", type, std::move(data));
  }
};

class FakePlatform : public SupervisorPlatform {
 public:
  std::wstring WorkerFileName(Worker w) override {
    return w == Worker::kAgent ? L"VantrelSysMonitorService.exe" : L"VantrelSysHardwareService.exe";
  }
  std::wstring WorkerPath(Worker w) override { return L"C:\\Vantrel\\" + WorkerFileName(w); }

  // A worker shows up as running after this many "not running" answers.
  bool IsProcessRunning(const std::wstring& name) override {
    std::lock_guard<std::mutex> g(lock);
    int& left = missing_checks[name];
    if (left > 0) {
      --left;
      return false;
    }
    return true;
  }
  bool LaunchInServiceContext(const std::wstring& path) override {
    std::lock_guard<std::mutex> g(lock);
    service_launches.push_back(path);
    return true;
  }
  bool LaunchInConsoleSession(const std::wstring& path) override {
    std::lock_guard<std::mutex> g(lock);
    console_launches.push_back(path);
    return true;
  }
  void TerminateProcessesByName(const std::wstring& name) override {
    std::lock_guard<std::mutex> g(lock);
    terminated.push_back(name);
  }
  std::vector<WorkerProcess> ProcessSessions(const std::wstring&) override {
    std::lock_guard<std::mutex> g(lock);
    return hardware_sessions;
  }
  bool FileExists(const std::wstring& path) override {
    std::lock_guard<std::mutex> g(lock);
    return existing_files.count(path) > 0;
  }
  uint32_t QueueWorkItem(std::function<void()> work) override {
    if (queue_error) return queue_error;
    return StartThread(std::move(work)) ? 0 : win32::kErrorNotEnoughMemory;
  }
  bool StartThread(std::function<void()> body) override {
    threads_started++;
    if (refuse_threads) return false;
    std::thread(std::move(body)).detach();
    return true;
  }

  size_t ServiceLaunches() {
    std::lock_guard<std::mutex> g(lock);
    return service_launches.size();
  }
  size_t ConsoleLaunches() {
    std::lock_guard<std::mutex> g(lock);
    return console_launches.size();
  }

  std::mutex lock;
  std::map<std::wstring, int> missing_checks;
  std::vector<std::wstring> service_launches, console_launches, terminated;
  std::vector<WorkerProcess> hardware_sessions;
  std::set<std::wstring> existing_files;
  uint32_t queue_error = 0;
  std::atomic<int> threads_started{0};
  std::atomic<bool> refuse_threads{false};
};

// Waits are recorded and skipped; the stop still cuts them short.
class TestInstance : public CServiceInstance {
 public:
  explicit TestInstance(FakePlatform* p) : CServiceInstance(L"VACSvc", nullptr, p) {}
  ~TestInstance() override { EndThreads(); }
  std::vector<uint32_t> Pauses() {
    std::lock_guard<std::mutex> g(pause_lock_);
    return pauses_;
  }

 protected:
  bool Pause(uint32_t ms) override {
    {
      std::lock_guard<std::mutex> g(pause_lock_);
      if (pauses_.size() < 1000) pauses_.push_back(ms);
    }
    return CServiceInstance::Pause(0);
  }

 private:
  std::mutex pause_lock_;
  std::vector<uint32_t> pauses_;
};

struct NullHost : ServiceHost {
  void SetStatus(const ServiceStatus& s) override { states.push_back(s.current_state); }
  void WriteEvent(uint16_t, const std::wstring&, const std::wstring& message) override { events.push_back(message); }
  std::vector<uint32_t> states;
  std::vector<std::wstring> events;
};

class SupervisorLogicTest : public ::testing::Test {
 protected:
  void SetUp() override { reg::SetSystemRegistryForTesting(&registry_); }
  void TearDown() override { reg::SetSystemRegistryForTesting(nullptr); }

  void SetSleepTime(uint32_t ms) {
    registry_.PutSleepTime(win32::kRegDword, {static_cast<uint8_t>(ms), static_cast<uint8_t>(ms >> 8),
                                              static_cast<uint8_t>(ms >> 16), static_cast<uint8_t>(ms >> 24)});
  }

  vantrel::testing::ScopedTestEnv env_;
  FakeRegistry registry_;
  FakePlatform platform_;
};

TEST_F(SupervisorLogicTest, MonitorCycleAttempts) {
  struct Case {
    int agent_missing;     // checks that find no agent
    int hardware_missing;  // checks that find no hardware service
    size_t agent_starts;
    size_t hardware_starts;
    size_t pauses_of_5000;
  } cases[] = {
      // Both run: each still gets its one unconditional start.
      {0, 0, 1, 1, 0},
      {3, 0, 4, 1, 3},
      {0, 2, 1, 3, 2},
      // Never found: 20 further attempts each, 5000 ms apart.
      {1000, 1000, 21, 21, 40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.agent_missing << "/" << c.hardware_missing);
    FakePlatform platform;
    platform.missing_checks[L"VantrelSysMonitorService.exe"] = c.agent_missing;
    platform.missing_checks[L"VantrelSysHardwareService.exe"] = c.hardware_missing;
    SetSleepTime(1500);
    TestInstance instance(&platform);
    EXPECT_EQ(instance.RunMonitorCycle(), 1500u);
    EXPECT_EQ(platform.service_launches.size(), c.agent_starts);
    EXPECT_EQ(platform.console_launches.size(), c.hardware_starts);
    auto pauses = instance.Pauses();
    EXPECT_EQ(pauses.size(), c.pauses_of_5000);
    EXPECT_TRUE(std::all_of(pauses.begin(), pauses.end(), [](uint32_t p) { return p == 5000; }));
    // The agent runs in the service's context, the hardware service in the console session.
    for (const auto& p : platform.service_launches) EXPECT_EQ(p, L"C:\\Vantrel\\VantrelSysMonitorService.exe");
    for (const auto& p : platform.console_launches) EXPECT_EQ(p, L"C:\\Vantrel\\VantrelSysHardwareService.exe");
  }
}

TEST_F(SupervisorLogicTest, SleepTimeCases) {
  FakePlatform platform;
  TestInstance instance(&platform);

  // Missing (and the key with it): created as REG_DWORD 60000.
  EXPECT_EQ(instance.DetermineSleepTime(), 60000u);
  ASSERT_TRUE(registry_.SleepTime());
  EXPECT_EQ(registry_.SleepTime()->type, win32::kRegDword);
  EXPECT_EQ(registry_.SleepTime()->data, (std::vector<uint8_t>{0x60, 0xEA, 0, 0}));

  SetSleepTime(250);
  EXPECT_EQ(instance.DetermineSleepTime(), 250u);
  SetSleepTime(0);
  EXPECT_EQ(instance.DetermineSleepTime(), 0u);

  // Another type: rewritten as REG_DWORD 0, and the cycles follow each other without pause.
  registry_.PutSleepTime(win32::kRegSz, {'5', 0, 0, 0});
  EXPECT_EQ(instance.DetermineSleepTime(), 0u);
  EXPECT_EQ(registry_.SleepTime()->type, win32::kRegDword);
  EXPECT_EQ(registry_.SleepTime()->data, (std::vector<uint8_t>{0, 0, 0, 0}));

  // The repair cannot be written: the default pause stays.
  registry_.PutSleepTime(win32::kRegBinary, {1, 2});
  registry_.fail_writes = win32::kErrorAccessDenied;
  EXPECT_EQ(instance.DetermineSleepTime(), 60000u);
  EXPECT_EQ(registry_.SleepTime()->type, win32::kRegBinary);
  registry_.fail_writes = 0;
}

TEST_F(SupervisorLogicTest, StoreSleepTimeCreatesTheKeyAndReportsFailures) {
  EXPECT_EQ(CServiceInstance::StoreSleepTime(42), 0u);
  EXPECT_EQ(registry_.OpenKey(reg::Root::kLocalMachine, reg::kSuiteKey), 0u);
  registry_.Clear();
  registry_.fail_writes = win32::kErrorAccessDenied;
  EXPECT_EQ(CServiceInstance::StoreSleepTime(42), win32::kErrorAccessDenied);
}

TEST_F(SupervisorLogicTest, PowerEventTable) {
  struct Step {
    uint32_t event;
    uint32_t suspending_after;
  } steps[] = {
      {kPbtApmSuspend, 1},
      {kPbtApmResumeAutomatic, 1},  // alone it does not end the suspend
      {0x0A, 1},                    // other events change nothing
      {kPbtApmResumeSuspend, 0},
      {kPbtApmResumeAutomatic, 0},
      {kPbtApmSuspend, 1},
      {kPbtApmSuspend, 1},
      {kPbtApmResumeSuspend, 0},
  };
  TestInstance instance(&platform_);
  for (const Step& s : steps) {
    instance.PowerEvent(s.event, nullptr);
    EXPECT_EQ(instance.system_suspending(), s.suspending_after) << "event " << s.event;
  }
}

TEST_F(SupervisorLogicTest, ConsoleConnectRecordsTheSessionUnlessSuspending) {
  {
    TestInstance instance(&platform_);
    EXPECT_EQ(instance.connected_session_id(), kNoSessionRecorded);
    instance.PowerEvent(kPbtApmSuspend, nullptr);
    SessionNotification n{sizeof n, 4};
    instance.SessionChange(kWtsConsoleConnect, &n);
    EXPECT_EQ(instance.connected_session_id(), kNoSessionRecorded);
    EXPECT_EQ(platform_.threads_started, 0);

    // The other session events are only logged.
    for (uint32_t e = kWtsRemoteConnect; e <= kWtsSessionTerminate; ++e) instance.SessionChange(e, &n);
    instance.SessionChange(kWtsConsoleConnect, nullptr);  // no notification: nothing breaks
    EXPECT_EQ(platform_.threads_started, 0);
    EXPECT_TRUE(platform_.terminated.empty());

    instance.PowerEvent(kPbtApmResumeSuspend, nullptr);
    platform_.hardware_sessions = {{77, 4}};
    instance.SessionChange(kWtsConsoleConnect, &n);
    EXPECT_EQ(instance.connected_session_id(), 4u);
    EXPECT_EQ(platform_.threads_started, 1);
  }  // the instance waits for its LaunchService thread
  // Agent running, hardware service already in session 4: nothing to start.
  EXPECT_EQ(platform_.ServiceLaunches(), 0u);
  EXPECT_EQ(platform_.ConsoleLaunches(), 0u);
}

TEST_F(SupervisorLogicTest, RecoveryDecisionsAtConsoleDisconnect) {
  const std::wstring service_tag = paths::MapWindowsPath(kRecoveryServiceTag);
  const std::wstring hardware_tag = paths::MapWindowsPath(kRecoveryHardwareTag);
  struct Case {
    bool service_tag, hardware_tag;
    std::vector<std::wstring> ended;
  } cases[] = {
      {false, false, {L"VantrelSysHardwareService.exe"}},
      {true, false, {L"VantrelSysMonitorService.exe", L"VantrelSysHardwareService.exe"}},
      {false, true, {}},
      {true, true, {L"VantrelSysMonitorService.exe"}},
  };
  for (const Case& c : cases) {
    FakePlatform platform;
    if (c.service_tag) platform.existing_files.insert(service_tag);
    if (c.hardware_tag) platform.existing_files.insert(hardware_tag);
    TestInstance instance(&platform);
    SessionNotification n{sizeof n, 1};
    instance.SessionChange(kWtsConsoleDisconnect, &n);
    EXPECT_EQ(platform.terminated, c.ended) << c.service_tag << c.hardware_tag;
    EXPECT_EQ(platform.threads_started, 0);
  }
}

TEST_F(SupervisorLogicTest, LaunchServiceDecisions) {
  struct Case {
    uint32_t connected;
    std::vector<WorkerProcess> hardware;
    int agent_missing;
    bool suspending;
    size_t agent_starts, hardware_starts;
  } cases[] = {
      // The hardware service already runs in the connected session.
      {2, {{10, 0}, {11, 2}}, 0, false, 0, 0},
      // It runs, but in another session (or session 0): up to 4 starts in the console session.
      {2, {{10, 1}}, 0, false, 0, 4},
      {2, {{10, 0}}, 0, false, 0, 4},
      {2, {}, 0, false, 0, 4},
      // No session recorded yet (999) or session 0: nothing counts.
      {kNoSessionRecorded, {{10, kNoSessionRecorded}}, 0, false, 0, 4},
      {0, {{10, 0}}, 0, false, 0, 4},
      // The agent is missing for two checks: two starts, 3000 ms apart.
      {2, {{11, 2}}, 2, false, 2, 0},
      {2, {}, 1000, false, 4, 4},
      // A suspend in progress: nothing is started.
      {2, {}, 1000, true, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "session " << c.connected << " agent missing " << c.agent_missing);
    FakePlatform platform;
    platform.hardware_sessions = c.hardware;
    platform.missing_checks[L"VantrelSysMonitorService.exe"] = c.agent_missing;
    TestInstance instance(&platform);
    SessionNotification n{sizeof n, c.connected};
    // The connect records the session; its thread is refused so that the
    // relaunch runs here, synchronously.
    platform.refuse_threads = true;
    instance.SessionChange(kWtsConsoleConnect, &n);
    EXPECT_EQ(instance.connected_session_id(), c.connected);
    if (c.suspending) instance.PowerEvent(kPbtApmSuspend, nullptr);
    instance.LaunchService();
    EXPECT_EQ(platform.ServiceLaunches(), c.agent_starts);
    EXPECT_EQ(platform.ConsoleLaunches(), c.hardware_starts);
  }
}

TEST_F(SupervisorLogicTest, StartRunsTheMonitorAndStopEndsWorkersForGood) {
  SetSleepTime(5);
  NullHost host;
  {
    TestInstance instance(&platform_);
    instance.set_host(&host);
    instance.Start({});
    EXPECT_EQ(host.states, (std::vector<uint32_t>{kServiceStartPending, kServiceRunning}));
    ASSERT_TRUE(vantrel::testing::WaitFor([&] { return instance.worker_started(); }, 5s));
    ASSERT_TRUE(vantrel::testing::WaitFor([&] { return platform_.ServiceLaunches() >= 3; }, 5s));
    EXPECT_EQ(registry_.OpenKey(reg::Root::kLocalMachine, reg::kSuiteKey), 0u);

    instance.Stop();
    EXPECT_EQ(host.states.back(), kServiceStopped);
    EXPECT_EQ(platform_.terminated,
              (std::vector<std::wstring>{L"VantrelSysMonitorService.exe", L"VantrelSysHardwareService.exe"}));
    // Nothing is started after the stop swept the workers away.
    size_t agents = platform_.ServiceLaunches();
    size_t hardware = platform_.ConsoleLaunches();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(platform_.ServiceLaunches(), agents);
    EXPECT_EQ(platform_.ConsoleLaunches(), hardware);
    SessionNotification n{sizeof n, 3};
    instance.SessionChange(kWtsConsoleConnect, &n);
  }
  EXPECT_EQ(host.events.front(), L"Vantrel Agent Service Central in OnStart");
  EXPECT_EQ(host.events.back(), L"Vantrel Agent Service Central in OnStop");
}

TEST_F(SupervisorLogicTest, StartFailsWhenTheWorkItemCannotBeQueued) {
  platform_.queue_error = win32::kErrorNotEnoughMemory;
  NullHost host;
  TestInstance instance(&platform_);
  instance.set_host(&host);
  instance.Start({});
  EXPECT_EQ(host.states, (std::vector<uint32_t>{kServiceStartPending, kServiceStopped}));
  EXPECT_EQ(instance.status().win32_exit_code, win32::kErrorNotEnoughMemory);
  EXPECT_EQ(host.events.back(), L"Service Start failed w/err 0x00000008");
}

}  // namespace
}  // namespace vantrel::supervisor
