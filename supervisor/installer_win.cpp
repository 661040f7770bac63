// -install and -uninstall on Windows: the service control manager.
#include <windows.h>

#include <cstdio>
#include <string>

#include "supervisor/installer.h"
#include "supervisor/service_instance.h"

namespace vantrel::supervisor {
namespace {

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

// Copies whose binary path holds a space get quotes, so that the service
// manager cannot take a prefix of the path for the program.
std::wstring BinaryPathName(const std::wstring& path) {
  if (path.find(L' ') == std::wstring::npos) return path;
  return L"\"" + path + L"\"";
}

}  // namespace

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
