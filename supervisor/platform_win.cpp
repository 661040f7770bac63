// The supervisor on Windows: the service control manager, the event log,
// process enumeration and the start of the hardware service in the console
// session with winlogon's token.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <sys/stat.h>

#include <cstddef>
#include <cstdio>
#include <cwchar>

#include "supervisor/service_host.h"

namespace vantrel::supervisor {
namespace {

static_assert(sizeof(SessionNotification) == sizeof(WTSSESSION_NOTIFICATION));
static_assert(offsetof(SessionNotification, dwSessionId) == offsetof(WTSSESSION_NOTIFICATION, dwSessionId));

// The trigger structures of the service configuration API, which MinGW's
// headers leave out (same layout as the Windows SDK's).
struct TriggerDataItem {
  DWORD dwDataType;
  DWORD cbData;
  BYTE* pData;
};
struct ServiceTrigger {
  DWORD dwTriggerType;
  DWORD dwAction;
  GUID* pTriggerSubtype;
  DWORD cDataItems;
  TriggerDataItem* pDataItems;
};
struct ServiceTriggerInfo {
  DWORD cTriggers;
  ServiceTrigger* pTriggers;
  BYTE* pReserved;
};
constexpr DWORD kTriggerTypeCustom = 20;
constexpr DWORD kTriggerActionServiceStart = 1;
constexpr DWORD kConfigTriggerInfo = 8;

constexpr wchar_t kAgentFile[] = L"VantrelSysMonitorService.exe";
constexpr wchar_t kHardwareFile[] = L"VantrelSysHardwareService.exe";

std::wstring OwnModulePath() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return L"";
  return std::wstring(path, n);
}

// ---------------------------------------------------------------------------
// Processes

class WindowsPlatform : public SupervisorPlatform {
 public:
  std::wstring WorkerFileName(Worker worker) override {
    return worker == Worker::kAgent ? kAgentFile : kHardwareFile;
  }

  std::wstring WorkerPath(Worker worker) override {
    std::wstring path = OwnModulePath();
    size_t slash = path.find_last_of(L'\\');
    path = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
    return path + L"\\" + WorkerFileName(worker);
  }

  // The first 1024 process ids, each named by its first module's base name.
  bool IsProcessRunning(const std::wstring& name) override {
    DWORD ids[1024];
    DWORD needed = 0;
    if (!EnumProcesses(ids, sizeof ids, &needed)) return false;
    const DWORD count = needed / sizeof(DWORD);
    for (DWORD i = 0; i < count; ++i) {
      if (ids[i] == 0) continue;
      wchar_t candidate[MAX_PATH] = L"<unknown>";
      HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i]);
      if (process) {
        HMODULE module = nullptr;
        DWORD bytes = 0;
        if (EnumProcessModules(process, &module, sizeof module, &bytes)) {
          GetModuleBaseNameW(process, module, candidate, MAX_PATH);
        }
        CloseHandle(process);
      }
      if (name == candidate) return true;
    }
    return false;
  }

  bool LaunchInServiceContext(const std::wstring& path) override {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(path.c_str(), nullptr, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) return false;
    // The supervisor keeps no handle to its workers.
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
  }

  bool LaunchInConsoleSession(const std::wstring& path) override {
    const DWORD session = WTSGetActiveConsoleSessionId();
    HANDLE user_token = nullptr;
    if (!WTSQueryUserToken(session, &user_token)) return false;

    void* environment = nullptr;
    DWORD flags = CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS | CREATE_NEW_CONSOLE;
    if (CreateEnvironmentBlock(&environment, user_token, TRUE)) {
      flags |= CREATE_UNICODE_ENVIRONMENT;
    } else {
      environment = nullptr;
    }
    CloseHandle(user_token);

    bool started = false;
    HANDLE winlogon_token = WinlogonToken(session);
    if (winlogon_token) {
      HANDLE primary = nullptr;
      SECURITY_ATTRIBUTES sa{};
      sa.nLength = sizeof sa;
      sa.lpSecurityDescriptor = nullptr;
      sa.bInheritHandle = FALSE;
      if (DuplicateTokenEx(winlogon_token, MAXIMUM_ALLOWED, &sa, SecurityIdentification, TokenPrimary, &primary)) {
        STARTUPINFOW si{};
        si.cb = sizeof si;
        wchar_t desktop[] = L"winsta0\\default";
        si.lpDesktop = desktop;
        PROCESS_INFORMATION pi{};
        if (CreateProcessAsUserW(primary, path.c_str(), nullptr, &sa, &sa, FALSE, flags, environment, nullptr, &si,
                                 &pi)) {
          CloseHandle(pi.hThread);
          CloseHandle(pi.hProcess);
          started = true;
        }
        CloseHandle(primary);
      }
      CloseHandle(winlogon_token);
    }
    if (environment) DestroyEnvironmentBlock(environment);
    return started;
  }

  void TerminateProcessesByName(const std::wstring& name) override {
    for (const WorkerProcess& p : Snapshot(name)) {
      HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, p.pid);
      if (!process) continue;
      TerminateProcess(process, 9);
      CloseHandle(process);
    }
  }

  std::vector<WorkerProcess> ProcessSessions(const std::wstring& name) override { return Snapshot(name); }

  bool FileExists(const std::wstring& path) override {
    struct _stat st;
    return _wstat(path.c_str(), &st) == 0;
  }

  uint32_t QueueWorkItem(std::function<void()> work) override {
    auto* item = new std::function<void()>(std::move(work));
    if (QueueUserWorkItem(&WindowsPlatform::RunItem, item, WT_EXECUTELONGFUNCTION)) return 0;
    DWORD error = GetLastError();
    delete item;
    return error;
  }

  bool StartThread(std::function<void()> body) override {
    auto* item = new std::function<void()>(std::move(body));
    HANDLE thread = CreateThread(nullptr, 0, &WindowsPlatform::RunThread, item, 0, nullptr);
    if (!thread) {
      delete item;
      return false;
    }
    CloseHandle(thread);
    return true;
  }

 private:
  static DWORD WINAPI RunItem(void* param) {
    std::unique_ptr<std::function<void()>> item(static_cast<std::function<void()>*>(param));
    (*item)();
    return 0;
  }
  static DWORD WINAPI RunThread(void* param) { return RunItem(param); }

  // Processes whose executable name is exactly `name`, with their sessions.
  static std::vector<WorkerProcess> Snapshot(const std::wstring& name) {
    std::vector<WorkerProcess> out;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return out;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL ok = Process32FirstW(snap, &entry); ok; ok = Process32NextW(snap, &entry)) {
      if (name != entry.szExeFile) continue;
      DWORD session = 0;
      ProcessIdToSessionId(entry.th32ProcessID, &session);
      out.push_back({entry.th32ProcessID, session});
    }
    CloseHandle(snap);
    return out;
  }

  // The token of the session's winlogon.exe, opened for duplication; null when
  // there is none.
  static HANDLE WinlogonToken(DWORD session) {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return nullptr;
    DWORD winlogon = 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL ok = Process32FirstW(snap, &entry); ok; ok = Process32NextW(snap, &entry)) {
      DWORD process_session = 0;
      if (_wcsicmp(entry.szExeFile, L"winlogon.exe") == 0 &&
          ProcessIdToSessionId(entry.th32ProcessID, &process_session) && process_session == session) {
        winlogon = entry.th32ProcessID;
        break;
      }
    }
    CloseHandle(snap);
    if (winlogon == 0) return nullptr;
    HANDLE process = OpenProcess(MAXIMUM_ALLOWED, FALSE, winlogon);
    if (!process) return nullptr;
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_DUPLICATE, &token)) token = nullptr;
    CloseHandle(process);
    return token;
  }
};

// ---------------------------------------------------------------------------
// Service manager

class ScmHost : public ServiceHost {
 public:
  explicit ScmHost(SERVICE_STATUS_HANDLE handle) : handle_(handle) {}

  void SetStatus(const ServiceStatus& s) override {
    if (!handle_) return;
    SERVICE_STATUS status{};
    status.dwServiceType = s.service_type;
    status.dwCurrentState = s.current_state;
    status.dwControlsAccepted = s.controls_accepted;
    status.dwWin32ExitCode = s.win32_exit_code;
    status.dwServiceSpecificExitCode = s.service_specific_exit_code;
    status.dwCheckPoint = s.check_point;
    status.dwWaitHint = s.wait_hint;
    SetServiceStatus(handle_, &status);
  }

  void WriteEvent(uint16_t type, const std::wstring& service_name, const std::wstring& message) override {
    WriteEventRecord(type, service_name, message);
  }

  static void WriteEventRecord(uint16_t type, const std::wstring& service_name, const std::wstring& message) {
    HANDLE source = RegisterEventSourceW(nullptr, service_name.c_str());
    if (!source) return;
    const wchar_t* strings[2] = {service_name.c_str(), message.c_str()};
    ReportEventW(source, type, 0, 0, nullptr, 2, 0, strings, nullptr);
    DeregisterEventSource(source);
  }

 private:
  SERVICE_STATUS_HANDLE handle_;
};

CServiceBase* g_service = nullptr;
std::vector<std::wstring> g_args;
std::unique_ptr<ScmHost> g_host;

DWORD WINAPI ControlHandler(DWORD control, DWORD event_type, void* event_data, void* /*context*/) {
  if (g_service) g_service->HandleControl(control, event_type, event_data);
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD argc, wchar_t** argv) {
  SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExW(g_service->service_name(), ControlHandler, nullptr);
  if (!handle) {
    // Without a status handle nothing can be reported, and the dispatcher would
    // wait for a stop that never comes: record why and end the process.
    DWORD error = GetLastError();
    g_service->LogErrorEntry(L"RegisterServiceCtrlHandlerEx", error);
    ScmHost::WriteEventRecord(kEventError, g_service->service_name(), L"Service failed to start.");
    ExitProcess(error);
  }
  g_host = std::make_unique<ScmHost>(handle);
  g_service->set_host(g_host.get());
  std::vector<std::wstring> args;
  for (DWORD i = 0; i < argc; ++i) args.push_back(argv[i]);
  g_service->Start(args);
}

// Copies whose binary path holds a space get quotes, so that the service
// manager cannot take a prefix of the path for the program.
std::wstring BinaryPathName(const std::wstring& path) {
  if (path.find(L' ') == std::wstring::npos) return path;
  return L"\"" + path + L"\"";
}

}  // namespace

std::unique_ptr<SupervisorPlatform> MakeSystemPlatform() { return std::make_unique<WindowsPlatform>(); }

bool RunService(CServiceBase& service, const std::vector<std::wstring>& /*args*/) {
  g_service = &service;
  // The event log also serves failures before the service manager answers.
  struct EventOnly : ServiceHost {
    void SetStatus(const ServiceStatus&) override {}
    void WriteEvent(uint16_t type, const std::wstring& name, const std::wstring& message) override {
      ScmHost::WriteEventRecord(type, name, message);
    }
  } events_only;
  service.set_host(&events_only);
  wchar_t name[64];
  wcsncpy(name, service.service_name(), 63);
  name[63] = L'\0';
  SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  bool ok = StartServiceCtrlDispatcherW(table) != FALSE;
  if (!ok) std::printf("Service failed to run w/err 0x%08lx\n", static_cast<unsigned long>(GetLastError()));
  service.set_host(nullptr);
  g_service = nullptr;
  g_host.reset();
  return ok;
}

const int kInstallerFailedExitCode = 0;

bool InstallService() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) {
    std::printf("GetModuleFileName failed w/err 0x%08lx\n",
                static_cast<unsigned long>(n == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER));
    return false;
  }
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
  if (!manager) {
    std::printf("OpenSCManager failed w/err 0x%08lx\n", static_cast<unsigned long>(GetLastError()));
    return false;
  }
  const std::wstring binary = BinaryPathName(path);
  SC_HANDLE service = CreateServiceW(manager, kServiceName, kServiceDisplayName, SERVICE_CHANGE_CONFIG,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                     binary.c_str(), nullptr, nullptr, L"\0", nullptr, nullptr);
  if (!service) {
    std::printf("CreateService failed w/err 0x%08lx\n", static_cast<unsigned long>(GetLastError()));
    CloseServiceHandle(manager);
    return false;
  }
  std::printf("%ls is installed.\n", kServiceName);

  // Custom trigger 5a0c93e7-2b6f-4d81-9c47-e18d3f6b2a95: start the service.
  GUID subtype = {0x5a0c93e7, 0x2b6f, 0x4d81, {0x9c, 0x47, 0xe1, 0x8d, 0x3f, 0x6b, 0x2a, 0x95}};
  ServiceTrigger trigger{};
  trigger.dwTriggerType = kTriggerTypeCustom;
  trigger.dwAction = kTriggerActionServiceStart;
  trigger.pTriggerSubtype = &subtype;
  trigger.cDataItems = 0;
  trigger.pDataItems = nullptr;
  ServiceTriggerInfo info{};
  info.cTriggers = 1;
  info.pTriggers = &trigger;
  if (!ChangeServiceConfig2W(service, kConfigTriggerInfo, &info)) std::printf("Set trigger start is fail.\n");

  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return true;
}

bool UninstallService() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) {
    std::printf("OpenSCManager failed w/err 0x%08lx\n", static_cast<unsigned long>(GetLastError()));
    return false;
  }
  SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
  if (!service) {
    std::printf("OpenService failed w/err 0x%08lx\n", static_cast<unsigned long>(GetLastError()));
    CloseServiceHandle(manager);
    return false;
  }

  SERVICE_STATUS status{};
  if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
    std::printf("Stopping %ls.", kServiceName);
    std::fflush(stdout);
    Sleep(1000);
    SERVICE_STATUS now{};
    // A failed query ends the polling; the last known state counts. Bounded:
    // a service that never leaves STOP_PENDING counts as failed to stop.
    constexpr int kStopPolls = 120;
    for (int polls = 0; polls < kStopPolls && QueryServiceStatus(service, &now); ++polls) {
      status = now;
      if (status.dwCurrentState != SERVICE_STOP_PENDING) break;
      std::printf(".");
      std::fflush(stdout);
      Sleep(1000);
    }
    if (status.dwCurrentState == SERVICE_STOPPED) {
      std::printf("\n%ls is stopped.\n", kServiceName);
    } else {
      std::printf("\n%ls failed to stop.\n", kServiceName);
    }
  }

  const bool removed = DeleteService(service) != 0;
  if (removed) {
    std::printf("%ls is removed.\n", kServiceName);
  } else {
    std::printf("DeleteService failed w/err 0x%08lx\n", static_cast<unsigned long>(GetLastError()));
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return removed;
}

}  // namespace vantrel::supervisor
