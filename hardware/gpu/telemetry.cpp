#include "hardware/gpu/telemetry.h"

#include <atomic>

#include "common/diag_log.h"
#include "common/text.h"
#include "hardware/commands/command_processor.h"
#include "hardware/firmware_gpu_startup.h"

namespace velmont::gpu {
namespace {

std::atomic<bool> g_present{false};
std::atomic<NvidiaDriver*> g_test_driver{nullptr};

std::wstring Fn(const wchar_t* name) { return std::wstring(kProcessorPrefix) + name; }

}  // namespace

void SetNvidiaDriverForTesting(NvidiaDriver* driver) { g_test_driver.store(driver); }

NvidiaDriver& SystemNvidiaDriver() {
  NvidiaDriver* fake = g_test_driver.load();
  return fake != nullptr ? *fake : PlatformNvidiaDriver();
}

bool NvidiaQuery(NvidiaDriver& driver, int type, uint32_t index, int32_t* value) {
  using vantrel::text::Format;
  const std::wstring fn = Fn(L"get_nvdia_monitor_value");
  vantrel::LogInfo(fn, L"get_nvdia_monitor_value - start");
  vantrel::LogInfo(fn, Format(L"Input NVMonitorType: %d, Graphic index: %d", type, static_cast<int>(index)));

  if (!driver.Initialize()) {
    vantrel::Log(vantrel::kLogError, fn, L"NvAPI_Initialize() fail");
    return false;
  }
  GpuHandle handles[kMaxPhysicalGpus] = {};
  uint32_t count = 0;
  if (!driver.EnumPhysicalGpus(handles, &count)) {
    vantrel::Log(vantrel::kLogError, fn, L"NvAPI_EnumPhysicalGPUs() fail");
    return false;
  }
  if (count > kMaxPhysicalGpus) count = kMaxPhysicalGpus;
  if (type >= kQueryClock && type <= kQueryMaxClock && index >= count) {
    // Beyond the enumerated GPUs the handle slot is empty (or past the array).
    vantrel::Log(vantrel::kLogError, fn, Format(L"Graphic index %u not below GPU count %u", index, count));
    return false;
  }

  uint32_t raw = 0;
  switch (type) {
    case kQueryClock:
      if (!driver.CurrentGraphicsClockKHz(handles[index], &raw)) {
        vantrel::Log(vantrel::kLogError, fn, L"NvAPI_GPU_GetAllClockFrequencies() fail");
        return false;
      }
      *value = static_cast<int32_t>(raw / 1000);
      vantrel::LogInfo(fn, Format(L"GPU frequency: %d", *value));
      break;
    case kQueryUsage:
      if (!driver.GraphicsUsagePercent(handles[index], &raw)) {
        vantrel::Log(vantrel::kLogError, fn, L"NvAPI_GPU_GetDynamicPstatesInfoEx() fail");
        return false;
      }
      *value = static_cast<int32_t>(raw);
      vantrel::LogInfo(fn, Format(L"GPU usage: %d", *value));
      break;
    case kQueryMaxClock:
      if (!driver.MaxGraphicsClockKHz(handles[index], &raw)) {
        vantrel::Log(vantrel::kLogError, fn, L"NvAPI_GPU_GetPstates20() fail");
        return false;
      }
      *value = static_cast<int32_t>(raw / 1000);
      vantrel::LogInfo(fn, Format(L"GPU max frequency: %d", *value));
      break;
    case kQueryCount:
      *value = static_cast<int32_t>(count);
      vantrel::LogInfo(fn, Format(L"GPU count: %d", *value));
      break;
    default:
      break;
  }
  vantrel::LogInfo(fn, L"get_nvdia_monitor_value - end");
  return true;
}

int32_t OtherVendorQuery(int type) {
  using vantrel::text::Format;
  const std::wstring fn = Fn(L"amd_gpu_lib_function");
  vantrel::LogInfo(fn, L"amd_gpu_lib_function - start");
  vantrel::LogInfo(fn, Format(L"Input AMDGPULibType: %d", type));
  vantrel::LogInfo(fn, Format(L"rslt: %d", -1));
  vantrel::LogInfo(fn, L"amd_gpu_lib_function - end");
  return -1;
}

void RegisterGpuNames(NvidiaDriver& driver, vantrel::reg::Registry& registry) {
  const std::wstring fn = Fn(L"check_gpu_name");
  vantrel::LogInfo(fn, L"write_gpu_name - start");
  GpuHandle handles[kMaxPhysicalGpus] = {};
  uint32_t count = 0;
  if (driver.Initialize() && driver.EnumPhysicalGpus(handles, &count)) {
    if (count > kMaxPhysicalGpus) count = kMaxPhysicalGpus;
    for (uint32_t i = 0; i < count; ++i) {
      std::string name;
      if (!driver.FullName(handles[i], &name)) continue;  // leaves a gap in the numbering
      vantrel::reg::WriteString(registry, vantrel::reg::Root::kLocalMachine, vantrel::reg::kSuiteKey,
                                L"GPU_Name" + std::to_wstring(i + 1), vantrel::text::FromUtf8(name));
    }
    if (count > 0) g_present.store(true);
  }
  vantrel::LogInfo(fn, L"check_gpu_name - end");
}

bool PresenceFlag() { return g_present.load(); }
void SetPresenceFlagForTesting(bool present) { g_present.store(present); }

}  // namespace velmont::gpu

namespace velmont {

void RegisterGpuNames() { gpu::RegisterGpuNames(gpu::SystemNvidiaDriver(), vantrel::reg::SystemRegistry()); }
bool GpuPresent() { return gpu::PresenceFlag(); }

}  // namespace velmont
