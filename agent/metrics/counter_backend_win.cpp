// Windows readers: one PDH query with the processor and memory counters, one
// WMI connection to root\CIMV2, and the IP Helper interface table.
#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <pdh.h>
#include <wbemidl.h>

#include <cstdio>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "agent/metrics/counter_backend.h"
#include "common/diag_log.h"
#include "common/text.h"

namespace vantrel::agent {

int64_t MonotonicTicks() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  // Split to keep the multiplication inside 64 bits.
  int64_t seconds = counter.QuadPart / frequency.QuadPart;
  int64_t rest = counter.QuadPart % frequency.QuadPart;
  return seconds * 10000000 + rest * 10000000 / frequency.QuadPart;
}

namespace {

constexpr long kWqlFlags = WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY;  // 0x30

class PdhWmiBackend final : public CounterBackend {
 public:
  explicit PdhWmiBackend(TickClock clock) : clock_(std::move(clock)) {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    com_status_ = hr;
    com_initialized_ = true;
    if (hr == RPC_E_CHANGED_MODE) owns_com_ = false;

    hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                          reinterpret_cast<void**>(&locator_));
    com_status_ = hr;
    bool ok = SUCCEEDED(hr);
    if (ok) {
      BSTR ns = SysAllocString(L"root\\CIMV2");
      hr = locator_->ConnectServer(ns, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services_);
      SysFreeString(ns);
      com_status_ = hr;
      ok = SUCCEEDED(hr);
    }
    if (ok) {
      hr = CoSetProxyBlanket(services_, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                             RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
      com_status_ = hr;
      ok = SUCCEEDED(hr);
    }
    if (!ok) {
      if (services_) {
        services_->Release();
        services_ = nullptr;
      }
      if (locator_) {
        locator_->Release();
        locator_ = nullptr;
      }
      if (owns_com_) {
        CoUninitialize();
        owns_com_ = false;
      }
    }
  }

  ~PdhWmiBackend() override {
    if (pdh_ready_) {
      PdhRemoveCounter(performance_);
      PdhRemoveCounter(processor_time_);
      PdhRemoveCounter(available_);
      for (PDH_HCOUNTER c : cores_) PdhRemoveCounter(c);
    }
    if (query_) PdhCloseQuery(query_);  // also when set-up stopped half-way, so nothing leaks
    cores_.clear();
    if (services_) services_->Release();
    if (locator_) locator_->Release();
    if (com_initialized_ && owns_com_) CoUninitialize();
  }

  bool InitialPDH() override {
    pdh_status_ = PdhOpenQueryW(nullptr, 0, &query_);
    if (pdh_status_ != ERROR_SUCCESS) {
      query_ = nullptr;
      return false;
    }
    pdh_status_ = PdhAddEnglishCounterW(query_, L"\\Processor(_Total)\\% Processor Time", 0, &processor_time_);
    if (pdh_status_ != ERROR_SUCCESS) return false;
    pdh_status_ = PdhAddEnglishCounterW(query_, L"\\Processor Information(_Total)\\% Processor Performance", 0,
                                        &performance_);
    if (pdh_status_ != ERROR_SUCCESS) return false;
    pdh_status_ = PdhAddEnglishCounterW(query_, L"\\Memory\\Available MBytes", 0, &available_);
    if (pdh_status_ != ERROR_SUCCESS) return false;

    unsigned count = std::thread::hardware_concurrency();
    for (unsigned i = 0; i < count; ++i) {
      wchar_t path[260];
      swprintf(path, 260, L"\\Processor Information(0,%d)\\%% Processor Performance", static_cast<int>(i));
      PDH_HCOUNTER counter = nullptr;
      if (PdhAddEnglishCounterW(query_, path, 0, &counter) != ERROR_SUCCESS) {
        LogInfo(L"InitConfig::InitialPDH", text::Format(L"Initialize CPU Core failed : %d", static_cast<int>(i)));
        continue;
      }
      try {
        cores_.push_back(counter);
      } catch (const std::bad_alloc&) {
        Log(kLogError, L"InitConfig::InitialPDH", L"Initialization of per core failed.");
      }
    }
    pdh_status_ = PdhCollectQueryData(query_);
    pdh_ready_ = pdh_status_ == ERROR_SUCCESS;
    return pdh_ready_;
  }

  bool Collect() override {
    pdh_status_ = PdhCollectQueryData(query_);
    return pdh_status_ == ERROR_SUCCESS;
  }

  double ProcessorTime() override { return Value(processor_time_); }
  double ProcessorPerformance() override { return Value(performance_); }
  double AvailableMBytes() override { return Value(available_); }
  double CorePerformance(int index) override {
    if (index < 0 || static_cast<size_t>(index) >= cores_.size()) return -1.0;
    return Value(cores_[index]);
  }

  uint32_t MaxClockSpeed() override {
    uint32_t v = 0;
    return QueryUint(L"SELECT MaxClockSpeed FROM Win32_Processor", L"MaxClockSpeed", &v) ? v : 0;
  }

  uint32_t MemoryClockSpeed() override {
    uint32_t v = 0;
    return QueryUint(L"SELECT ConfiguredClockSpeed FROM Win32_PhysicalMemory", L"ConfiguredClockSpeed", &v) ? v
                                                                                                            : 0;
  }

  double TotalMemoryMB() override {
    if (!services_) return 0;
    long long bytes = 0;
    bool ok = Query(L"SELECT TotalPhysicalMemory FROM Win32_ComputerSystem", L"TotalPhysicalMemory",
                    [&](VARIANT& v) {
                      if (v.vt == VT_BSTR && v.bstrVal) return swscanf(v.bstrVal, L"%I64d", &bytes) == 1;
                      VARIANT copy;
                      VariantInit(&copy);
                      bool got = SUCCEEDED(VariantChangeType(&copy, &v, 0, VT_I8));
                      if (got) bytes = copy.llVal;
                      VariantClear(&copy);
                      return got;
                    });
    return ok ? static_cast<double>(bytes) / 1024.0 / 1024.0 : 0.0;
  }

  bool ReadInterfaces(std::vector<InterfaceRow>* rows) override {
    MIB_IF_TABLE2* table = nullptr;
    if (GetIfTable2(&table) != NO_ERROR) {
      if (table) FreeMibTable(table);
      return false;
    }
    rows->clear();
    rows->reserve(table->NumEntries);
    for (ULONG i = 0; i < table->NumEntries; ++i) {
      const MIB_IF_ROW2& r = table->Table[i];
      InterfaceRow row;
      row.hardware = r.InterfaceAndOperStatusFlags.HardwareInterface != 0;
      row.connector_present = r.InterfaceAndOperStatusFlags.ConnectorPresent != 0;
      row.up = r.OperStatus == IfOperStatusUp;
      row.type = r.Type;
      row.in_octets = r.InOctets;
      row.out_octets = r.OutOctets;
      rows->push_back(row);
    }
    FreeMibTable(table);
    return true;
  }

  int64_t NowTicks() override { return clock_ ? clock_() : MonotonicTicks(); }

 private:
  double Value(PDH_HCOUNTER counter) {
    if (!pdh_ready_ || !counter) return -1.0;
    PDH_FMT_COUNTERVALUE value;
    if (PdhGetFormattedCounterValue(counter, PDH_FMT_DOUBLE, nullptr, &value) != ERROR_SUCCESS) return -1.0;
    return value.doubleValue;
  }

  bool QueryUint(const wchar_t* query, const wchar_t* property, uint32_t* out) {
    return Query(query, property, [&](VARIANT& v) {
      VARIANT copy;
      VariantInit(&copy);
      bool got = SUCCEEDED(VariantChangeType(&copy, &v, 0, VT_UI4));
      if (got) *out = copy.ulVal;
      VariantClear(&copy);
      return got;
    });
  }

  // Runs a WQL query and hands the first non-empty value of `property` to `take`.
  template <typename Take>
  bool Query(const wchar_t* query, const wchar_t* property, Take take) {
    if (!services_) return false;
    BSTR language = SysAllocString(L"WQL");
    BSTR text = SysAllocString(query);
    IEnumWbemClassObject* enumerator = nullptr;
    HRESULT hr = services_->ExecQuery(language, text, kWqlFlags, nullptr, &enumerator);
    SysFreeString(language);
    SysFreeString(text);
    if (hr != S_OK || !enumerator) {
      if (enumerator) enumerator->Release();
      return false;
    }
    bool found = false;
    for (;;) {
      IWbemClassObject* object = nullptr;
      ULONG returned = 0;
      hr = enumerator->Next(WBEM_INFINITE, 1, &object, &returned);
      if (FAILED(hr) || returned == 0 || !object) {
        if (object) object->Release();
        break;
      }
      VARIANT value;
      VariantInit(&value);
      if (SUCCEEDED(object->Get(property, 0, &value, nullptr, nullptr)) && value.vt != VT_EMPTY &&
          value.vt != VT_NULL) {
        found = take(value);
        VariantClear(&value);
        object->Release();
        break;
      }
      VariantClear(&value);
      object->Release();
    }
    enumerator->Release();
    return found;
  }

  TickClock clock_;
  HRESULT com_status_ = S_OK;
  bool owns_com_ = true;
  bool com_initialized_ = false;
  IWbemServices* services_ = nullptr;
  IWbemLocator* locator_ = nullptr;
  bool pdh_ready_ = false;
  PDH_STATUS pdh_status_ = ERROR_SUCCESS;
  PDH_HQUERY query_ = nullptr;
  PDH_HCOUNTER processor_time_ = nullptr;
  PDH_HCOUNTER performance_ = nullptr;
  PDH_HCOUNTER available_ = nullptr;
  std::vector<PDH_HCOUNTER> cores_;
};

}  // namespace

std::unique_ptr<CounterBackend> CreateCounterBackend(TickClock clock) {
  return std::make_unique<PdhWmiBackend>(std::move(clock));
}

}  // namespace vantrel::agent
