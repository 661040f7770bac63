#include "hardware/firmware/wmi_win.h"

#include <oleauto.h>

#include <cstring>
#include <exception>

#include "hardware/firmware/platform.h"

namespace velmont::firmware {
namespace {

constexpr size_t kObjectPathChars = 260;

template <typename T>
void Release(T*& p) {
  if (p != nullptr) {
    p->Release();
    p = nullptr;
  }
}

// Owns a BSTR for the duration of one call.
class Bstr {
 public:
  explicit Bstr(const wchar_t* s) : b_(SysAllocString(s)) {}
  explicit Bstr(const std::wstring& s) : b_(SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {}
  ~Bstr() { SysFreeString(b_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  operator BSTR() const { return b_; }
  bool ok() const { return b_ != nullptr; }

 private:
  BSTR b_;
};

HRESULT InvokeUnguarded(WmiConnection& wmi, const wchar_t* class_name, const wchar_t* method,
                        const wchar_t* query,
                        const std::vector<std::pair<const wchar_t*, const VARIANT*>>& inputs,
                        const std::vector<std::pair<const wchar_t*, VARIANT*>>& outputs) {
  if (wmi.services == nullptr) return WBEM_E_FAILED;
  const std::wstring path = FindFirmwareObjectPath(wmi, class_name, query);
  if (path.empty()) return WBEM_E_NOT_FOUND;

  Bstr cls(class_name), meth(method), object_path(path);
  if (!cls.ok() || !meth.ok() || !object_path.ok()) return E_OUTOFMEMORY;

  IWbemClassObject* class_obj = nullptr;
  IWbemClassObject* in_def = nullptr;
  IWbemClassObject* in_obj = nullptr;
  IWbemClassObject* out_obj = nullptr;
  HRESULT hr = wmi.services->GetObject(cls, 0, nullptr, &class_obj, nullptr);
  if (SUCCEEDED(hr)) hr = class_obj->GetMethod(method, 0, &in_def, nullptr);
  if (SUCCEEDED(hr) && !inputs.empty()) {
    // The method's input definition is a class; values go into an instance of it.
    hr = in_def != nullptr ? in_def->SpawnInstance(0, &in_obj) : static_cast<HRESULT>(WBEM_E_INVALID_PARAMETER);
    for (size_t i = 0; SUCCEEDED(hr) && i < inputs.size(); ++i) {
      VARIANT copy;
      VariantInit(&copy);
      hr = VariantCopy(&copy, const_cast<VARIANT*>(inputs[i].second));
      if (SUCCEEDED(hr)) hr = in_obj->Put(inputs[i].first, 0, &copy, 0);
      VariantClear(&copy);
    }
  }
  if (SUCCEEDED(hr)) hr = wmi.services->ExecMethod(object_path, meth, 0, nullptr, in_obj, &out_obj, nullptr);
  if (SUCCEEDED(hr) && !outputs.empty() && out_obj == nullptr) hr = WBEM_E_FAILED;
  for (size_t i = 0; SUCCEEDED(hr) && i < outputs.size(); ++i) {
    VARIANT v;
    VariantInit(&v);
    hr = out_obj->Get(outputs[i].first, 0, &v, nullptr, nullptr);
    if (SUCCEEDED(hr)) hr = VariantCopy(outputs[i].second, &v);
    VariantClear(&v);
  }
  Release(out_obj);
  Release(in_obj);
  Release(in_def);
  Release(class_obj);
  return hr;
}

}  // namespace

bool WmiConnection::Open() {
  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (hr == RPC_E_CHANGED_MODE) {
    // Usable as it is; not ours to uninitialise.
    com_initialised = false;
    uninitialise_com = false;
  } else if (FAILED(hr)) {
    last_result = hr;
    return false;
  } else {
    com_initialised = true;
    uninitialise_com = true;
  }
  hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                        reinterpret_cast<void**>(&locator));
  if (SUCCEEDED(hr)) {
    Bstr ns(L"ROOT\\WMI");
    hr = ns.ok() ? locator->ConnectServer(ns, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services)
                 : E_OUTOFMEMORY;
  }
  if (SUCCEEDED(hr)) {
    hr = CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                           RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
  }
  last_result = hr;
  if (FAILED(hr)) {
    Close();
    return false;
  }
  return true;
}

void WmiConnection::Close() {
  Release(extra);
  Release(services);
  Release(locator);
  if (uninitialise_com) CoUninitialize();
  com_initialised = false;
  uninitialise_com = false;
}

std::wstring FindFirmwareObjectPath(WmiConnection& wmi, const wchar_t* class_name, const wchar_t* query) {
  if (wmi.services == nullptr) return {};
  Bstr wql(L"WQL"), q(query);
  if (!wql.ok() || !q.ok()) return {};
  IEnumWbemClassObject* it = nullptr;
  HRESULT hr = wmi.services->ExecQuery(wql, q, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, &it);
  if (FAILED(hr) || it == nullptr) return {};
  std::wstring name;
  for (;;) {
    IWbemClassObject* obj = nullptr;
    ULONG returned = 0;
    hr = it->Next(WBEM_INFINITE, 1, &obj, &returned);
    if (FAILED(hr) || returned == 0 || obj == nullptr) break;
    VARIANT v;
    VariantInit(&v);
    if (SUCCEEDED(obj->Get(L"InstanceName", 0, &v, nullptr, nullptr)) && v.vt == VT_BSTR && v.bstrVal != nullptr &&
        SysStringLen(v.bstrVal) > 0) {
      name.assign(v.bstrVal, SysStringLen(v.bstrVal));
    }
    VariantClear(&v);
    obj->Release();
    if (!name.empty()) break;
  }
  it->Release();
  if (name.empty()) return {};

  std::wstring escaped;
  for (wchar_t c : name) {
    escaped.push_back(c);
    if (c == L'\\') escaped.push_back(L'\\');
  }
  std::wstring path = std::wstring(class_name) + L".InstanceName=\"" + escaped + L"\"";
  // The path had to fit 260 characters; a longer one would have been cut and
  // named some other object, so it is refused instead.
  if (path.size() >= kObjectPathChars) return {};
  return path;
}

HRESULT InvokeFirmwareMethod(WmiConnection& wmi, const wchar_t* class_name, const wchar_t* method,
                             const wchar_t* query,
                             const std::vector<std::pair<const wchar_t*, const VARIANT*>>& inputs,
                             const std::vector<std::pair<const wchar_t*, VARIANT*>>& outputs) {
  HRESULT hr;
  try {
    hr = InvokeUnguarded(wmi, class_name, method, query, inputs, outputs);
  } catch (...) {
    hr = WBEM_E_FAILED;
  }
  wmi.last_result = hr;
  return hr;
}

std::optional<uint64_t> CallFirmwareMethod(const FirmwareCommand& row, std::optional<uint64_t> input) {
  VARIANT in, out;
  VariantInit(&in);
  VariantInit(&out);
  // The firmware takes its input as decimal text: let OLE do the conversion.
  if (row.set_row) {
    in.vt = VT_UI8;
    in.ullVal = input.value_or(0);
  } else {
    in.vt = VT_UI4;
    in.ulVal = static_cast<ULONG>(input.value_or(0));
  }
  if (FAILED(VariantChangeType(&in, &in, 0, VT_BSTR))) {
    VariantClear(&in);
    return std::nullopt;
  }

  WmiConnection wmi;
  std::optional<uint64_t> result;
  if (wmi.Open()) {
    std::vector<std::pair<const wchar_t*, const VARIANT*>> inputs;
    if (input) inputs.emplace_back(row.cls->input, &in);
    std::vector<std::pair<const wchar_t*, VARIANT*>> outputs{{row.cls->output, &out}};
    HRESULT hr = InvokeFirmwareMethod(wmi, row.cls->name, row.method, row.cls->query, inputs, outputs);
    if (SUCCEEDED(hr) && SUCCEEDED(VariantChangeType(&out, &out, 0, row.set_row ? VT_UI4 : VT_UI8))) {
      result = row.set_row ? static_cast<uint64_t>(out.ulVal) : static_cast<uint64_t>(out.ullVal);
    }
  }
  VariantClear(&in);
  VariantClear(&out);
  if (result) Sleep(30);
  wmi.Close();
  return result;
}

std::vector<uint8_t> ReadRawSmbiosTables() {
  std::vector<uint8_t> data;
  WmiConnection wmi;
  if (!wmi.Open()) return data;
  try {
    Bstr cls(L"MSSMBios_RawSMBiosTables");
    IEnumWbemClassObject* it = nullptr;
    if (cls.ok() && SUCCEEDED(wmi.services->CreateInstanceEnum(cls, 0, nullptr, &it)) && it != nullptr) {
      IWbemClassObject* obj = nullptr;
      ULONG returned = 0;
      if (SUCCEEDED(it->Next(WBEM_INFINITE, 1, &obj, &returned)) && returned == 1 && obj != nullptr) {
        VARIANT v;
        VariantInit(&v);
        if (SUCCEEDED(obj->Get(L"SMBiosData", 0, &v, nullptr, nullptr)) && v.vt == (VT_ARRAY | VT_UI1) &&
            v.parray != nullptr) {
          LONG lo = 0, hi = -1;
          void* p = nullptr;
          if (SUCCEEDED(SafeArrayGetLBound(v.parray, 1, &lo)) && SUCCEEDED(SafeArrayGetUBound(v.parray, 1, &hi)) &&
              hi >= lo && SUCCEEDED(SafeArrayAccessData(v.parray, &p))) {
            const auto* bytes = static_cast<const uint8_t*>(p);
            data.assign(bytes, bytes + (static_cast<size_t>(hi - lo) + 1));
            SafeArrayUnaccessData(v.parray);
          }
        }
        VariantClear(&v);
        obj->Release();
      }
      it->Release();
    }
  } catch (...) {
    data.clear();
    wmi.last_result = WBEM_E_FAILED;
  }
  wmi.Close();
  return data;
}

// The firmware keeps its own settings; the service takes nothing over.
void RestoreFirmwareControl() {}
void ReleaseFirmwareControl() {}

}  // namespace velmont::firmware
