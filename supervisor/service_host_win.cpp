// The service run on Windows: the service control manager and the event log.
#include <windows.h>
#include <wtsapi32.h>

#include <cstddef>
#include <cstdio>
#include <cwchar>
#include <memory>

#include "supervisor/service_host.h"
#include "supervisor/service_instance.h"

namespace vantrel::supervisor {
namespace {

static_assert(sizeof(SessionNotification) == sizeof(WTSSESSION_NOTIFICATION));
static_assert(offsetof(SessionNotification, dwSessionId) == offsetof(WTSSESSION_NOTIFICATION, dwSessionId));

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

}  // namespace

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

}  // namespace vantrel::supervisor
