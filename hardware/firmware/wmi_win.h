// A WMI connection to ROOT\WMI and the firmware method call on top of it.
// Used once per firmware command; the event subscription keeps one open.
#pragma once
#include <windows.h>
#include <wbemidl.h>

#include <string>
#include <utility>
#include <vector>

namespace velmont::firmware {

class WmiConnection {
 public:
  WmiConnection() = default;
  ~WmiConnection() { Close(); }
  WmiConnection(const WmiConnection&) = delete;
  WmiConnection& operator=(const WmiConnection&) = delete;

  // COM (multithreaded apartment), locator, ROOT\WMI and the proxy blanket.
  // On failure everything acquired is released again.
  bool Open();
  // Releases what is held (the extra object too) and uninitialises COM when
  // Open initialised it on this thread.
  void Close();

  IWbemLocator* locator = nullptr;
  IWbemServices* services = nullptr;
  IUnknown* extra = nullptr;  // a third object owned with the connection (an event sink stub)
  HRESULT last_result = S_OK;
  bool com_initialised = false;
  bool uninitialise_com = false;
};

// "<class>.InstanceName=\"<name with backslashes doubled>\"" of the first
// instance of `query` with a non-empty InstanceName; empty when there is none.
std::wstring FindFirmwareObjectPath(WmiConnection& wmi, const wchar_t* class_name, const wchar_t* query);

// Runs `method` on the firmware object. Inputs are copied into the method's
// input object (none passed when `inputs` is empty); each output is copied to
// its VARIANT (which the caller clears). S_OK only when the method ran and
// every output was read.
HRESULT InvokeFirmwareMethod(WmiConnection& wmi, const wchar_t* class_name, const wchar_t* method,
                             const wchar_t* query,
                             const std::vector<std::pair<const wchar_t*, const VARIANT*>>& inputs,
                             const std::vector<std::pair<const wchar_t*, VARIANT*>>& outputs);

}  // namespace velmont::firmware
