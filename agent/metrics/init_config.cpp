#include "agent/metrics/init_config.h"

#include <vector>

#include "agent/metrics/counter_math.h"

namespace vantrel::agent {

InitConfig::InitConfig() : backend_(CreateCounterBackend()) { Init(); }

InitConfig::InitConfig(std::unique_ptr<CounterBackend> backend) : backend_(std::move(backend)) { Init(); }

InitConfig::~InitConfig() = default;

void InitConfig::Init() {
  pdh_ready_ = backend_->InitialPDH();
  total_memory_mb_ = backend_->TotalMemoryMB();
  network_ready_ = SnapshotNetworkCounters();
}

bool InitConfig::CollectSample() {
  if (!pdh_ready_) return false;
  if (!backend_->Collect()) {
    pdh_ready_ = false;
    return false;
  }
  return true;
}

double InitConfig::GetProcessorTime() { return pdh_ready_ ? backend_->ProcessorTime() : -1.0; }
double InitConfig::GetProcessorPerformance() { return pdh_ready_ ? backend_->ProcessorPerformance() : -1.0; }
double InitConfig::GetAvailableMBytes() { return pdh_ready_ ? backend_->AvailableMBytes() : -1.0; }
double InitConfig::GetCorePerformance(int index) {
  return pdh_ready_ && index >= 0 ? backend_->CorePerformance(index) : -1.0;
}
uint32_t InitConfig::GetMaxClockSpeed() { return backend_->MaxClockSpeed(); }
uint32_t InitConfig::GetMemoryClockSpeed() { return backend_->MemoryClockSpeed(); }

double InitConfig::CpuFrequency(uint32_t max_clock_mhz) {
  return FrequencyFromPerformance(GetProcessorPerformance(), max_clock_mhz);
}

double InitConfig::CoreFrequency(int index, uint32_t max_clock_mhz) {
  return FrequencyFromPerformance(GetCorePerformance(index), max_clock_mhz);
}

double InitConfig::RamUsage() { return RamUsagePercent(total_memory_mb_, GetAvailableMBytes()); }

bool InitConfig::SnapshotNetworkCounters() {
  std::vector<InterfaceRow> rows;
  if (!backend_->ReadInterfaces(&rows)) return false;
  baseline_.Update(SumInterfaces(rows), backend_->NowTicks());
  return true;
}

bool InitConfig::GetNetworkRates(double* ethernet_upload, double* ethernet_download, double* wifi_upload,
                                 double* wifi_download) {
  if (!network_ready_) return false;
  std::vector<InterfaceRow> rows;
  if (!backend_->ReadInterfaces(&rows)) return false;
  NetworkRates r = baseline_.Advance(SumInterfaces(rows), backend_->NowTicks());
  *ethernet_upload = r.ethernet_upload;
  *ethernet_download = r.ethernet_download;
  *wifi_upload = r.wifi_upload;
  *wifi_download = r.wifi_download;
  return true;
}

InitConfigHolder::Lease::~Lease() {
  if (holder_) holder_->Release();
}

void InitConfigHolder::Install(std::unique_ptr<InitConfig> config) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_ = std::move(config);
  published_ = config_ != nullptr;
}

InitConfigHolder::Lease InitConfigHolder::Acquire() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!published_) return Lease();
  ++leases_;
  return Lease(this, config_.get());
}

void InitConfigHolder::Release() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (--leases_ == 0) released_.notify_all();
}

bool InitConfigHolder::Teardown(std::chrono::milliseconds wait) {
  std::unique_ptr<InitConfig> doomed;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    published_ = false;
    if (!released_.wait_for(lock, wait, [this] { return leases_ == 0; })) return false;
    doomed = std::move(config_);
  }
  return true;  // `doomed` is destroyed here, outside the lock
}

InitConfigHolder& ProcessInitConfig() {
  static InitConfigHolder* holder = new InitConfigHolder();  // never destroyed: threads outlive main
  return *holder;
}

}  // namespace vantrel::agent
