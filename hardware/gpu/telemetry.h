// GPU telemetry: the NVIDIA query routine over a driver interface (NVAPI on
// Windows, NVML on Linux), the other-vendor answer, the GPU names published at
// start-up and the presence flag that picks between the two paths. Portable.
#pragma once
#include <cstdint>
#include <string>

#include "common/registry.h"

namespace velmont::gpu {

using GpuHandle = void*;
inline constexpr uint32_t kMaxPhysicalGpus = 64;

// What the service needs from the NVIDIA driver. Every call reports success.
class NvidiaDriver {
 public:
  virtual ~NvidiaDriver() = default;
  // Loads the driver library on first use; a counted initialisation after that.
  virtual bool Initialize() = 0;
  // Fills handles[0..count) in enumeration order; count is at most 64.
  virtual bool EnumPhysicalGpus(GpuHandle (&handles)[kMaxPhysicalGpus], uint32_t* count) = 0;
  virtual bool FullName(GpuHandle gpu, std::string* utf8) = 0;
  virtual bool CurrentGraphicsClockKHz(GpuHandle gpu, uint32_t* khz) = 0;
  virtual bool GraphicsUsagePercent(GpuHandle gpu, uint32_t* percent) = 0;
  virtual bool MaxGraphicsClockKHz(GpuHandle gpu, uint32_t* khz) = 0;
  // The discrete GPU's co-processor state (1 active, 0 idle), passed through.
  virtual bool CoprocState(uint32_t* state) = 0;
};

// The driver the handlers use: the platform's (process-wide) unless a test put
// a fake in its place.
NvidiaDriver& SystemNvidiaDriver();
// NVAPI (telemetry_win.cpp) or NVML (telemetry_posix.cpp).
NvidiaDriver& PlatformNvidiaDriver();
void SetNvidiaDriverForTesting(NvidiaDriver* driver);  // null restores the real one

enum QueryType : int { kQueryClock = 0, kQueryUsage = 1, kQueryMaxClock = 2, kQueryCount = 3 };

// Writes *value only on success. An index not below the GPU count (64 and more
// included) fails without reading the handle array.
bool NvidiaQuery(NvidiaDriver& driver, int type, uint32_t index, int32_t* value);
// No source exists for other vendors: logs and answers -1.
int32_t OtherVendorQuery(int type);

// Writes "GPU_Name<i+1>" (REG_SZ) under the suite key for every GPU whose name
// reads, and sets the presence flag when at least one GPU is enumerated.
void RegisterGpuNames(NvidiaDriver& driver, vantrel::reg::Registry& registry);

bool PresenceFlag();
void SetPresenceFlagForTesting(bool present);

}  // namespace velmont::gpu
