// The platform readers behind InitConfig. Windows: PDH, WMI root\CIMV2 and the
// IP Helper interface table. Linux: /proc, /sys and the SMBIOS table under
// paths::SysRoot(). InitConfig adds the flags, formulas and network baseline.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "agent/metrics/network_rates.h"

namespace vantrel::agent {

class CounterBackend {
 public:
  virtual ~CounterBackend() = default;

  // Opens the counters and takes the first sample; true when ready.
  virtual bool InitialPDH() = 0;
  // Takes the next sample; false on failure.
  virtual bool Collect() = 0;
  // Counter values of the latest sample; -1.0 on failure.
  virtual double ProcessorTime() = 0;
  virtual double ProcessorPerformance() = 0;
  virtual double AvailableMBytes() = 0;
  virtual double CorePerformance(int index) = 0;
  // MHz, 0 on failure. Safe to call from a worker thread while the others run.
  virtual uint32_t MaxClockSpeed() = 0;
  virtual uint32_t MemoryClockSpeed() = 0;
  // Total physical memory in MiB, 0 when unread. Called once.
  virtual double TotalMemoryMB() = 0;
  // The interface table; false when it cannot be read.
  virtual bool ReadInterfaces(std::vector<InterfaceRow>* rows) = 0;
  // A monotonic clock in 100 ns ticks, for the network baseline.
  virtual int64_t NowTicks() = 0;
};

// A clock in 100 ns ticks; the default is a monotonic one, so a change of the
// wall clock never shows up as a burst or a negative rate.
using TickClock = std::function<int64_t()>;
int64_t MonotonicTicks();

// The machine's readers. Windows: initialises COM on the calling thread.
std::unique_ptr<CounterBackend> CreateCounterBackend(TickClock clock = nullptr);

}  // namespace vantrel::agent
