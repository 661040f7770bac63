// Windows: the firmware event sink and its subscription to VRGeEvent on the
// ROOT\WMI connection kept for the life of the process. Events are kept (the
// latest one) but not acted on.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

#include <atomic>

#include "common/diag_log.h"
#include "common/text.h"
#include "hardware/firmware/wmi_win.h"
#include "hardware/firmware/events.h"

namespace velmont {

class VmWmiEventSink : public IWbemObjectSink {
 public:
  explicit VmWmiEventSink(HWND window) : window_(window) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IWbemObjectSink) {
      *out = static_cast<IWbemObjectSink*>(this);
      AddRef();
      return WBEM_S_NO_ERROR;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const long left = --refs_;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }
  HRESULT STDMETHODCALLTYPE Indicate(LONG count, IWbemClassObject** objects) override {
    for (LONG i = 0; objects != nullptr && i < count; ++i) {
      if (objects[i] == nullptr) continue;
      IWbemClassObject* copy = nullptr;
      if (FAILED(objects[i]->Clone(&copy))) continue;
      // Indicate runs on COM worker threads: swap the copy in whole.
      if (IWbemClassObject* old = last_.exchange(copy)) old->Release();
    }
    return WBEM_S_NO_ERROR;
  }
  HRESULT STDMETHODCALLTYPE SetStatus(LONG, HRESULT, BSTR, IWbemClassObject*) override { return WBEM_S_NO_ERROR; }

  HWND window() const { return window_; }

 private:
  virtual ~VmWmiEventSink() {
    if (IWbemClassObject* last = last_.exchange(nullptr)) last->Release();
  }

  std::atomic<long> refs_{0};
  std::atomic<IWbemClassObject*> last_{nullptr};
  HWND window_;
};

}  // namespace velmont

namespace vantrel::hw {
namespace {

constexpr wchar_t kInitFn[] = L"velmont::VmWmiEventSink::Initialize";

// Lives for the life of the process: it holds the subscription's stub sink.
velmont::firmware::WmiConnection* g_events = nullptr;

}  // namespace

void SubscribeFirmwareEvents(void* window) {
  if (g_events != nullptr) return;
  auto* wmi = new velmont::firmware::WmiConnection();
  if (!wmi->Open()) {
    LogInfo(kInitFn, L"ROOT\\WMI is not available; firmware events are not subscribed");
    delete wmi;
    return;
  }
  g_events = wmi;

  auto* sink = new velmont::VmWmiEventSink(static_cast<HWND>(window));
  sink->AddRef();  // this function's own reference, dropped at the end
  LogInfo(kInitFn, L"Start");
  LogInfo(kInitFn, L"End");

  IUnsecuredApartment* apartment = nullptr;
  IUnknown* stub_unknown = nullptr;
  IWbemObjectSink* stub_sink = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_UnsecuredApartment, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnsecuredApartment,
                                reinterpret_cast<void**>(&apartment));
  if (SUCCEEDED(hr)) hr = apartment->CreateObjectStub(sink, &stub_unknown);
  if (SUCCEEDED(hr)) hr = stub_unknown->QueryInterface(IID_IWbemObjectSink, reinterpret_cast<void**>(&stub_sink));
  if (SUCCEEDED(hr)) {
    wmi->extra = stub_sink;  // released, if ever, with the connection
    BSTR wql = SysAllocString(L"WQL");
    BSTR query = SysAllocString(L"SELECT * FROM VRGeEvent");
    hr = (wql != nullptr && query != nullptr)
             ? wmi->services->ExecNotificationQueryAsync(wql, query, WBEM_FLAG_SEND_STATUS, nullptr, stub_sink)
             : E_OUTOFMEMORY;
    SysFreeString(query);
    SysFreeString(wql);
  }
  if (FAILED(hr)) LogInfo(kInitFn, text::Format(L"subscription to VRGeEvent failed: 0x%08X", static_cast<unsigned>(hr)));
  if (stub_unknown != nullptr) stub_unknown->Release();
  if (apartment != nullptr) apartment->Release();
  // From here only the stub holds the sink (or nothing, and it goes).
  sink->Release();
}

}  // namespace vantrel::hw
