// Windows half of the model and overclock configuration: the model from WMI
// (Win32_ComputerSystem), display adapters from SetupAPI.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <setupapi.h>
#include <wbemidl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/diag_log.h"
#include "common/paths.h"
#include "hardware/commands/command_processor.h"
#include "hardware/model/model_config.h"
#include "hardware/startup.h"

namespace vantrel::hw {
namespace {

// {1CA05180-A699-450A-9A0C-DE4FBE3DDD89}: display adapter device interfaces.
const GUID kDisplayAdapterInterface = {0x1CA05180, 0xA699, 0x450A, {0x9A, 0x0C, 0xDE, 0x4F, 0xBE, 0x3D, 0xDD, 0x89}};
// The buffer the hardware id is first read into; a longer id is read again
// into one of the size the device reports instead of being skipped or cut.
constexpr DWORD kHardwareIdBytes = 520;

template <typename T>
void Release(T*& p) {
  if (p != nullptr) {
    p->Release();
    p = nullptr;
  }
}

}  // namespace

std::optional<std::wstring> ReadComputerModel() {
  const std::wstring fn = std::wstring(velmont::kProcessorPrefix) + L"GetModelName";
  LogInfo(fn, L"GetModelName() - start");
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
    LogInfo(fn, L"Failed to initialize COM library.");
    return std::nullopt;
  }
  // Another thread may already have fixed the process's security: the result is ignored.
  CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                       nullptr, EOAC_NONE, nullptr);

  IWbemLocator* locator = nullptr;
  IWbemServices* services = nullptr;
  IEnumWbemClassObject* rows = nullptr;
  std::optional<std::wstring> model;
  BSTR ns = SysAllocString(L"ROOT\\CIMV2");
  BSTR wql = SysAllocString(L"WQL");
  BSTR query = SysAllocString(L"SELECT * FROM Win32_ComputerSystem");
  if (ns == nullptr || wql == nullptr || query == nullptr) {
    // Out of memory while building the query strings.
  } else if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                     reinterpret_cast<void**>(&locator)))) {
    LogInfo(fn, L"Failed to create IWbemLocator object.");
  } else if (FAILED(locator->ConnectServer(ns, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services))) {
    LogInfo(fn, L"Could not connect.");
  } else if (FAILED(CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                                      RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE))) {
    LogInfo(fn, L"Could not set proxy blanket.");
  } else if (FAILED(services->ExecQuery(wql, query, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                        &rows))) {
    LogInfo(fn, L"Query for operating system name failed.");
  } else {
    std::wstring found;
    while (true) {
      IWbemClassObject* row = nullptr;
      ULONG returned = 0;
      if (rows->Next(WBEM_INFINITE, 1, &row, &returned) != WBEM_S_NO_ERROR || returned == 0) break;
      VARIANT v;
      VariantInit(&v);
      // The last object wins; a Model that is not text leaves the previous one.
      if (SUCCEEDED(row->Get(L"Model", 0, &v, nullptr, nullptr)) && v.vt == VT_BSTR && v.bstrVal != nullptr) {
        found.assign(v.bstrVal, SysStringLen(v.bstrVal));
      }
      VariantClear(&v);
      row->Release();
    }
    model = found;
  }
  Release(rows);
  Release(services);
  Release(locator);
  SysFreeString(query);
  SysFreeString(wql);
  SysFreeString(ns);
  CoUninitialize();
  return model;
}

std::optional<std::vector<std::wstring>> DisplayAdapterHardwareIds() {
  HDEVINFO set = SetupDiGetClassDevsW(&kDisplayAdapterInterface, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return std::nullopt;
  std::vector<std::wstring> ids;
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof(info);
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
    std::vector<BYTE> buffer(kHardwareIdBytes);
    DWORD needed = 0;
    BOOL ok = SetupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_HARDWAREID, nullptr, buffer.data(),
                                                static_cast<DWORD>(buffer.size()), &needed);
    if (!ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER && needed > buffer.size() && needed < (1u << 20)) {
      buffer.assign(needed, 0);
      ok = SetupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_HARDWAREID, nullptr, buffer.data(),
                                             static_cast<DWORD>(buffer.size()), &needed);
    }
    if (!ok) continue;
    // The first id of the multi-string; the property need not end with a NUL.
    const wchar_t* chars = reinterpret_cast<const wchar_t*>(buffer.data());
    const size_t max_chars = std::min<size_t>(needed, buffer.size()) / sizeof(wchar_t);
    size_t n = 0;
    while (n < max_chars && chars[n] != L'\0') ++n;
    ids.emplace_back(chars, n);
  }
  SetupDiDestroyDeviceInfoList(set);
  return ids;
}

OverclockEnvironment SystemOverclockEnvironment() {
  OverclockEnvironment env;
  env.exe_dir = paths::ExecutableDir();
  env.separator = L'\\';
  env.tavrix_path = paths::MapWindowsPath(kTavrixIniPath);
  env.file_exists = [](const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  };
  env.load_ini = [](const std::wstring& path) { return IniFile::Load(path); };
  env.display_hardware_ids = &DisplayAdapterHardwareIds;
  env.registry = &reg::SystemRegistry();
  return env;
}

}  // namespace vantrel::hw
