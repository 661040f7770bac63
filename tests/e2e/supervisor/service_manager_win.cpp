// The supervisor under the service control manager: -install creates the
// service, the manager starts it, it starts the agent and (with a winlogon.exe
// in the console session) the hardware service, the stop ends both with exit
// code 9, and -uninstall removes the service.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/process.h"
#include "common/registry.h"
#include "common/text.h"
#include "tests/support/test_env.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vantrel::proc::Process;

constexpr wchar_t kService[] = L"VACSvc";
constexpr wchar_t kAgent[] = L"VantrelSysMonitorService.exe";
constexpr wchar_t kHardware[] = L"VantrelSysHardwareService.exe";

std::wstring WindowsPath(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return vantrel::text::FromUtf8(path);
}

struct ServiceHandles {
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = nullptr;
  ~ServiceHandles() {
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
  }
};

// Opens the service; false with the error when it does not exist.
bool OpenOurService(ServiceHandles& h, DWORD* error = nullptr) {
  h.manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!h.manager) return false;
  h.service = OpenServiceW(h.manager, kService, SERVICE_ALL_ACCESS);
  if (!h.service && error) *error = GetLastError();
  return h.service != nullptr;
}

DWORD ServiceState(SC_HANDLE service, DWORD* exit_code = nullptr) {
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(service, &status)) return 0;
  if (exit_code) *exit_code = status.dwWin32ExitCode;
  return status.dwCurrentState;
}

// Stops and deletes a service left behind by an earlier run.
void RemoveLeftover() {
  ServiceHandles h;
  if (!OpenOurService(h)) return;
  SERVICE_STATUS status{};
  ControlService(h.service, SERVICE_CONTROL_STOP, &status);
  vantrel::testing::WaitFor([&] { return ServiceState(h.service) == SERVICE_STOPPED; }, 30s);
  DeleteService(h.service);
}

class ServiceManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveLeftover();
    dir_ = vantrel::text::FromUtf8(env_.root()) + L"\\install";
    fs::create_directories(dir_);
    const std::wstring standins = WindowsPath(VANTREL_STANDIN_DIR);
    for (const wchar_t* name : {kAgent, kHardware, L"winlogon.exe"}) {
      ASSERT_TRUE(CopyFileW((standins + L"\\" + name).c_str(), (dir_ + L"\\" + name).c_str(), FALSE)) << GetLastError();
    }
    ASSERT_TRUE(CopyFileW(vantrel::testing::ProgramPath(L"VantrelCentralService").c_str(), Supervisor().c_str(), FALSE))
        << GetLastError();
    auto& registry = vantrel::reg::SystemRegistry();
    ASSERT_EQ(vantrel::reg::WriteDword(registry, vantrel::reg::Root::kLocalMachine, vantrel::reg::kSuiteKey,
                                       L"Sleep_time", 1000),
              0u);
  }

  void TearDown() override {
    RemoveLeftover();
    for (const wchar_t* name : {kAgent, kHardware}) {
      for (uint32_t pid : vantrel::proc::FindProcessesByName(name)) vantrel::proc::TerminateProcessById(pid, 1);
    }
    if (winlogon_) winlogon_->Kill(0);
    vantrel::reg::SystemRegistry().DeleteValue(vantrel::reg::Root::kLocalMachine, vantrel::reg::kSuiteKey,
                                               L"Sleep_time");
  }

  std::wstring Supervisor() const { return dir_ + L"\\VantrelCentralService.exe"; }

  int RunSupervisor(const std::wstring& argument) {
    auto p = Process::Start(Supervisor(), {argument});
    if (!p) return -1;
    return p->Wait(120s).value_or(-2);
  }

  // The one process of that name once duplicates have ended; stays the same
  // over a second, so it is the worker and not a duplicate on its way out.
  HANDLE SteadyWorker(const wchar_t* name) {
    uint32_t pid = 0;
    for (int round = 0; round < 20; ++round) {
      auto ids = vantrel::proc::FindProcessesByName(name);
      if (ids.size() == 1 && ids[0] == pid) break;
      pid = ids.size() == 1 ? ids[0] : 0;
      std::this_thread::sleep_for(500ms);
    }
    if (pid == 0) return nullptr;
    return OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  }

  void StartTheService() {
    ServiceHandles h;
    ASSERT_TRUE(OpenOurService(h));
    ASSERT_TRUE(StartServiceW(h.service, 0, nullptr)) << GetLastError();
    EXPECT_TRUE(vantrel::testing::WaitFor([&] { return ServiceState(h.service) == SERVICE_RUNNING; }, 30s));
  }

  void StopTheService() {
    ServiceHandles h;
    ASSERT_TRUE(OpenOurService(h));
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(h.service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    DWORD exit_code = 1;
    EXPECT_TRUE(vantrel::testing::WaitFor([&] { return ServiceState(h.service, &exit_code) == SERVICE_STOPPED; }, 30s));
    EXPECT_EQ(exit_code, 0u);
  }

  vantrel::testing::ScopedTestEnv env_;
  std::wstring dir_;
  std::unique_ptr<Process> winlogon_;
};

TEST_F(ServiceManagerTest, InstallRunStopUninstall) {
  ASSERT_EQ(RunSupervisor(L"-install"), 0);
  {
    ServiceHandles h;
    ASSERT_TRUE(OpenOurService(h));
    DWORD needed = 0;
    QueryServiceConfigW(h.service, nullptr, 0, &needed);
    std::vector<BYTE> buf(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data());
    ASSERT_TRUE(QueryServiceConfigW(h.service, config, needed, &needed));
    EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_STREQ(config->lpDisplayName, L"Vantrel Agent Service Central");
    EXPECT_TRUE(vantrel::text::EqualsIgnoreCase(config->lpBinaryPathName, Supervisor())) << config->lpBinaryPathName;
  }
  // A second install leaves the one service as it is.
  EXPECT_EQ(RunSupervisor(L"/INSTALL"), 0);

  winlogon_ = Process::Start(dir_ + L"\\winlogon.exe", {});
  ASSERT_TRUE(winlogon_);
  StartTheService();
  HANDLE agent = SteadyWorker(kAgent);
  HANDLE hardware = SteadyWorker(kHardware);
  ASSERT_TRUE(agent);
  ASSERT_TRUE(hardware);

  StopTheService();
  for (HANDLE worker : {agent, hardware}) {
    EXPECT_EQ(WaitForSingleObject(worker, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(worker, &code));
    EXPECT_EQ(code, 9u);
    CloseHandle(worker);
  }
  // Nothing is started again once the service has stopped.
  std::this_thread::sleep_for(2s);
  EXPECT_TRUE(vantrel::proc::FindProcessesByName(kAgent).empty());
  EXPECT_TRUE(vantrel::proc::FindProcessesByName(kHardware).empty());

  EXPECT_EQ(RunSupervisor(L"-uninstall"), 0);
  ServiceHandles gone;
  DWORD error = 0;
  EXPECT_FALSE(OpenOurService(gone, &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  // Removing again only reports that there is no such service.
  EXPECT_EQ(RunSupervisor(L"/Uninstall"), 0);
}

TEST_F(ServiceManagerTest, WithoutWinlogonOnlyTheAgentRuns) {
  ASSERT_EQ(RunSupervisor(L"-install"), 0);
  StartTheService();
  HANDLE agent = SteadyWorker(kAgent);
  ASSERT_TRUE(agent);
  CloseHandle(agent);
  EXPECT_TRUE(vantrel::proc::FindProcessesByName(kHardware).empty());
  // The stop is not held up by the cycle's retries for the hardware service.
  auto before = std::chrono::steady_clock::now();
  StopTheService();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 10s);
  EXPECT_TRUE(vantrel::testing::WaitFor([] { return vantrel::proc::FindProcessesByName(kAgent).empty(); }, 10s));
  EXPECT_EQ(RunSupervisor(L"-uninstall"), 0);
}

TEST_F(ServiceManagerTest, OutsideTheManagerTheProgramCannotRunAsAService) {
  // No switch and an unknown switch: both end with 0 and nothing installed.
  EXPECT_EQ(RunSupervisor(L"install"), 0);
  EXPECT_EQ(RunSupervisor(L"-remove"), 0);
  ServiceHandles h;
  EXPECT_FALSE(OpenOurService(h));
}

}  // namespace
