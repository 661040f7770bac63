// The NVIDIA driver on Linux: NVML, loaded at run time by its soname so that a
// machine without the driver simply takes the other-vendor path.
#include <dlfcn.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>

#include "common/paths.h"
#include "hardware/gpu/telemetry.h"

namespace velmont::gpu {
namespace {

namespace fs = std::filesystem;

constexpr int kNvmlSuccess = 0;
constexpr int kNvmlClockGraphics = 0;
constexpr unsigned kNameLength = 96;

struct NvmlUtilization {
  unsigned int gpu;
  unsigned int memory;
};

using InitFn = int (*)();
using GetCountFn = int (*)(unsigned int*);
using GetHandleFn = int (*)(unsigned int, void**);
using GetNameFn = int (*)(void*, char*, unsigned int);
using GetClockFn = int (*)(void*, int, unsigned int*);
using GetUtilizationFn = int (*)(void*, NvmlUtilization*);

struct Nvml {
  InitFn init = nullptr;
  GetCountFn get_count = nullptr;
  GetHandleFn get_handle = nullptr;
  GetNameFn get_name = nullptr;
  GetClockFn get_clock = nullptr;
  GetClockFn get_max_clock = nullptr;
  GetUtilizationFn get_utilization = nullptr;
};

template <typename T>
T Symbol(void* lib, const char* name) {
  return reinterpret_cast<T>(dlsym(lib, name));
}

// Loaded once per process and never unloaded: handles stay valid for the
// life of the process, as they do with the Windows driver.
const Nvml& LoadedNvml() {
  static Nvml nvml;
  static std::once_flag once;
  std::call_once(once, [] {
    void* lib = dlopen("libnvidia-ml.so.1", RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) return;
    nvml.init = Symbol<InitFn>(lib, "nvmlInit_v2");
    nvml.get_count = Symbol<GetCountFn>(lib, "nvmlDeviceGetCount_v2");
    nvml.get_handle = Symbol<GetHandleFn>(lib, "nvmlDeviceGetHandleByIndex_v2");
    nvml.get_name = Symbol<GetNameFn>(lib, "nvmlDeviceGetName");
    nvml.get_clock = Symbol<GetClockFn>(lib, "nvmlDeviceGetClockInfo");
    nvml.get_max_clock = Symbol<GetClockFn>(lib, "nvmlDeviceGetMaxClockInfo");
    nvml.get_utilization = Symbol<GetUtilizationFn>(lib, "nvmlDeviceGetUtilizationRates");
  });
  return nvml;
}

std::string FirstLine(const fs::path& p) {
  std::ifstream in(p);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
  return line;
}

bool MhzToKhz(unsigned int mhz, uint32_t* khz) {
  if (mhz > UINT32_MAX / 1000) return false;
  *khz = mhz * 1000;
  return true;
}

class NvmlDriver final : public NvidiaDriver {
 public:
  bool Initialize() override {
    const Nvml& n = LoadedNvml();
    return n.init != nullptr && n.init() == kNvmlSuccess;
  }

  bool EnumPhysicalGpus(GpuHandle (&handles)[kMaxPhysicalGpus], uint32_t* count) override {
    const Nvml& n = LoadedNvml();
    unsigned int c = 0;
    if (n.get_count == nullptr || n.get_handle == nullptr || n.get_count(&c) != kNvmlSuccess) return false;
    if (c > kMaxPhysicalGpus) c = kMaxPhysicalGpus;
    for (unsigned int i = 0; i < c; ++i) {
      void* h = nullptr;
      if (n.get_handle(i, &h) != kNvmlSuccess) return false;
      handles[i] = h;
    }
    *count = c;
    return true;
  }

  bool FullName(GpuHandle gpu, std::string* utf8) override {
    const Nvml& n = LoadedNvml();
    char name[kNameLength] = {};
    if (n.get_name == nullptr || n.get_name(gpu, name, kNameLength) != kNvmlSuccess) return false;
    utf8->assign(name, strnlen(name, kNameLength));
    return true;
  }

  bool CurrentGraphicsClockKHz(GpuHandle gpu, uint32_t* khz) override {
    const Nvml& n = LoadedNvml();
    unsigned int mhz = 0;
    return n.get_clock != nullptr && n.get_clock(gpu, kNvmlClockGraphics, &mhz) == kNvmlSuccess &&
           MhzToKhz(mhz, khz);
  }

  bool GraphicsUsagePercent(GpuHandle gpu, uint32_t* percent) override {
    const Nvml& n = LoadedNvml();
    NvmlUtilization u{};
    if (n.get_utilization == nullptr || n.get_utilization(gpu, &u) != kNvmlSuccess) return false;
    *percent = u.gpu;
    return true;
  }

  bool MaxGraphicsClockKHz(GpuHandle gpu, uint32_t* khz) override {
    const Nvml& n = LoadedNvml();
    unsigned int mhz = 0;
    return n.get_max_clock != nullptr && n.get_max_clock(gpu, kNvmlClockGraphics, &mhz) == kNvmlSuccess &&
           MhzToKhz(mhz, khz);
  }

  // The discrete GPU's PCI runtime power state stands for the co-processor
  // state: "suspended" (or on its way there) is idle 0, anything else active 1.
  bool CoprocState(uint32_t* state) override {
    std::map<std::string, fs::path> devices;  // bus address order
    std::error_code ec;
    const fs::path root = vantrel::paths::SysPath("/sys/bus/pci/devices");
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
      devices[it->path().filename().string()] = it->path();
    }
    for (const auto& [address, dir] : devices) {
      if (FirstLine(dir / "vendor") != "0x10de") continue;
      if (FirstLine(dir / "class").rfind("0x03", 0) != 0) continue;
      const std::string status = FirstLine(dir / "power" / "runtime_status");
      if (status.empty()) return false;
      *state = (status == "suspended" || status == "suspending") ? 0 : 1;
      return true;
    }
    return false;
  }
};

}  // namespace

NvidiaDriver& PlatformNvidiaDriver() {
  static NvmlDriver driver;
  return driver;
}

}  // namespace velmont::gpu
