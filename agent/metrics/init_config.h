// InitConfig: the agent's one source of processor, memory and network values.
// The window creates it and tears it down; a report borrows it through a lease
// so the teardown never frees it under a running report.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "agent/metrics/counter_backend.h"
#include "agent/metrics/network_rates.h"

namespace vantrel::agent {

class InitConfig {
 public:
  // The machine's readers.
  InitConfig();
  // Given readers (tests).
  explicit InitConfig(std::unique_ptr<CounterBackend> backend);
  ~InitConfig();
  InitConfig(const InitConfig&) = delete;
  InitConfig& operator=(const InitConfig&) = delete;

  bool pdh_ready() const { return pdh_ready_; }
  bool network_ready() const { return network_ready_; }

  // PdhCollectQueryData; the first failure leaves PDH not ready for good.
  bool CollectSample();
  double GetProcessorTime();
  double GetProcessorPerformance();
  double GetAvailableMBytes();
  double GetCorePerformance(int index);
  uint32_t GetMaxClockSpeed();
  uint32_t GetMemoryClockSpeed();
  double GetTotalMemoryMB() const { return total_memory_mb_; }
  double CpuFrequency(uint32_t max_clock_mhz);
  double CoreFrequency(int index, uint32_t max_clock_mhz);
  double RamUsage();

  bool SnapshotNetworkCounters();
  bool GetNetworkRates(double* ethernet_upload, double* ethernet_download, double* wifi_upload,
                       double* wifi_download);

 private:
  void Init();
  std::unique_ptr<CounterBackend> backend_;
  double total_memory_mb_ = 0;
  bool pdh_ready_ = false;
  bool network_ready_ = false;
  NetworkBaseline baseline_;
};

// Owner of the process's InitConfig. Reports take a lease; Teardown stops new
// leases, waits (bounded) for the running ones and then destroys the object on
// the calling thread (the window thread, which owns COM). Should a report hang
// in a pipe transaction past the wait, the object is left alive instead of
// being freed under it: the process ends right after the teardown anyway.
class InitConfigHolder {
 public:
  class Lease {
   public:
    Lease() = default;
    Lease(Lease&& other) noexcept : holder_(other.holder_), config_(other.config_) {
      other.holder_ = nullptr;
      other.config_ = nullptr;
    }
    Lease& operator=(Lease&&) = delete;
    ~Lease();
    InitConfig* get() const { return config_; }
    InitConfig* operator->() const { return config_; }
    explicit operator bool() const { return config_ != nullptr; }

   private:
    friend class InitConfigHolder;
    Lease(InitConfigHolder* holder, InitConfig* config) : holder_(holder), config_(config) {}
    InitConfigHolder* holder_ = nullptr;
    InitConfig* config_ = nullptr;
  };

  void Install(std::unique_ptr<InitConfig> config);
  // An empty lease when there is no InitConfig (not created yet or torn down).
  Lease Acquire();
  // True when the object was destroyed; false when leases outlived `wait`.
  bool Teardown(std::chrono::milliseconds wait = std::chrono::milliseconds(3000));

 private:
  void Release();
  std::mutex mutex_;
  std::condition_variable released_;
  std::unique_ptr<InitConfig> config_;
  bool published_ = false;
  int leases_ = 0;
};

// The process-wide holder used by the frame and the report.
InitConfigHolder& ProcessInitConfig();

}  // namespace vantrel::agent
