// The NVIDIA driver on Windows: NVAPI from nvapi64.dll in the system directory,
// every function fetched through nvapi_QueryInterface by its interface id.
#include <windows.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "hardware/gpu/telemetry.h"

namespace velmont::gpu {
namespace {

constexpr int kNvapiOk = 0;

constexpr uint32_t kIdInitialize = 0x0150E828;
constexpr uint32_t kIdEnumPhysicalGpus = 0xE5AC921F;
constexpr uint32_t kIdGetFullName = 0xCEEE8E9F;
constexpr uint32_t kIdGetPstates20 = 0x6FF81213;
constexpr uint32_t kIdGetDynamicPstatesInfoEx = 0x60DED2ED;
constexpr uint32_t kIdGetAllClockFrequencies = 0xDCB616C3;
constexpr uint32_t kIdCoprocGetCoprocStatus = 0x1EFC3957;

// Structure sizes and version words ((version << 16) | size); the fields used
// are read at their byte offsets.
constexpr size_t kClockFrequenciesSize = 264;
constexpr uint32_t kClockFrequenciesVersion = (3u << 16) | kClockFrequenciesSize;
constexpr size_t kClockGraphicsOffset = 12;  // domain 0's frequency (kHz)
constexpr size_t kDynamicPstatesSize = 72;
constexpr uint32_t kDynamicPstatesVersion = (1u << 16) | kDynamicPstatesSize;
constexpr size_t kGraphicsUsageOffset = 12;  // utilisation domain 0's percentage
constexpr size_t kPstates20Size = 7416;
constexpr uint32_t kPstates20Version = (3u << 16) | kPstates20Size;
constexpr size_t kPstate0Clock0MaxOffset = 56;  // pstates[0].clocks[0] range maximum (kHz)
constexpr size_t kFullNameLength = 64;

using QueryInterfaceFn = void* (*)(uint32_t);
using InitializeFn = int (*)();
using EnumPhysicalGpusFn = int (*)(void** handles, uint32_t* count);
using GetFullNameFn = int (*)(void* gpu, char* name);
using GpuStructFn = int (*)(void* gpu, void* info);
using CoprocStatusFn = int (*)(uint32_t* status, uint32_t* state);

struct Nvapi {
  InitializeFn initialize = nullptr;
  EnumPhysicalGpusFn enum_physical_gpus = nullptr;
  GetFullNameFn get_full_name = nullptr;
  GpuStructFn get_pstates20 = nullptr;
  GpuStructFn get_dynamic_pstates_info_ex = nullptr;
  GpuStructFn get_all_clock_frequencies = nullptr;
  CoprocStatusFn coproc_get_coproc_status = nullptr;
};

template <typename T>
T Cast(void* p) {
  return reinterpret_cast<T>(p);
}

uint32_t OsBuildNumber() {
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return 0;
  auto rtl_get_version =
      Cast<RtlGetVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (rtl_get_version == nullptr || rtl_get_version(&info) != 0) return 0;
  return info.dwBuildNumber;
}

// Only the system directory is searched, so a planted copy beside the program
// or on the PATH is never picked up.
HMODULE LoadSystemLibrary(const wchar_t* name, bool restricted_search) {
  if (restricted_search) return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  wchar_t dir[MAX_PATH];
  UINT n = GetSystemDirectoryW(dir, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return nullptr;
  std::wstring path(dir, n);
  path += L'\\';
  path += name;
  return LoadLibraryW(path.c_str());
}

enum LoadState : int { kNotLoaded, kLoading, kLoaded };
std::atomic<int> g_state{kNotLoaded};
std::mutex g_load_lock;
Nvapi g_nvapi;  // written once by the loading thread, read after g_state is kLoaded

void LoadNvapi() {
  // Builds 9200 (Windows 8) and later know LOAD_LIBRARY_SEARCH_SYSTEM32.
  const bool restricted = OsBuildNumber() >= 9200;
  for (const wchar_t* support : {L"msasn1.dll", L"cryptnet.dll", L"cryptbase.dll"}) {
    LoadSystemLibrary(support, restricted);
  }
  HMODULE lib = LoadSystemLibrary(L"nvapi64.dll", restricted);
  if (lib == nullptr) return;
  auto query = Cast<QueryInterfaceFn>(reinterpret_cast<void*>(GetProcAddress(lib, "nvapi_QueryInterface")));
  if (query == nullptr) return;
  g_nvapi.initialize = Cast<InitializeFn>(query(kIdInitialize));
  g_nvapi.enum_physical_gpus = Cast<EnumPhysicalGpusFn>(query(kIdEnumPhysicalGpus));
  g_nvapi.get_full_name = Cast<GetFullNameFn>(query(kIdGetFullName));
  g_nvapi.get_pstates20 = Cast<GpuStructFn>(query(kIdGetPstates20));
  g_nvapi.get_dynamic_pstates_info_ex = Cast<GpuStructFn>(query(kIdGetDynamicPstatesInfoEx));
  g_nvapi.get_all_clock_frequencies = Cast<GpuStructFn>(query(kIdGetAllClockFrequencies));
  g_nvapi.coproc_get_coproc_status = Cast<CoprocStatusFn>(query(kIdCoprocGetCoprocStatus));
}

// The library is loaded once per process. A thread that finds another one
// loading waits for it in 100 ms steps, ten at most; after that it answers
// as if the driver were missing.
const Nvapi* LoadedNvapi() {
  if (g_state.load(std::memory_order_acquire) == kLoaded) return &g_nvapi;
  int expected = kNotLoaded;
  if (g_state.compare_exchange_strong(expected, kLoading, std::memory_order_acq_rel)) {
    std::lock_guard<std::mutex> lock(g_load_lock);
    LoadNvapi();
    g_state.store(kLoaded, std::memory_order_release);
    return &g_nvapi;
  }
  for (int step = 0; step < 10; ++step) {
    Sleep(100);
    if (g_state.load(std::memory_order_acquire) == kLoaded) return &g_nvapi;
  }
  return nullptr;
}

uint32_t ReadU32(const std::vector<uint32_t>& words, size_t offset) { return words[offset / 4]; }

class NvapiDriver final : public NvidiaDriver {
 public:
  bool Initialize() override {
    const Nvapi* n = LoadedNvapi();
    return n != nullptr && n->initialize != nullptr && n->initialize() == kNvapiOk;
  }

  bool EnumPhysicalGpus(GpuHandle (&handles)[kMaxPhysicalGpus], uint32_t* count) override {
    const Nvapi* n = LoadedNvapi();
    if (n == nullptr || n->enum_physical_gpus == nullptr) return false;
    uint32_t c = 0;
    if (n->enum_physical_gpus(handles, &c) != kNvapiOk) return false;
    *count = c > kMaxPhysicalGpus ? kMaxPhysicalGpus : c;
    return true;
  }

  bool FullName(GpuHandle gpu, std::string* utf8) override {
    const Nvapi* n = LoadedNvapi();
    if (n == nullptr || n->get_full_name == nullptr) return false;
    char name[kFullNameLength + 1] = {};  // one spare byte: the driver's text may fill all 64
    if (n->get_full_name(gpu, name) != kNvapiOk) return false;
    utf8->assign(name, strnlen(name, kFullNameLength));
    return true;
  }

  bool CurrentGraphicsClockKHz(GpuHandle gpu, uint32_t* khz) override {
    const Nvapi* n = LoadedNvapi();
    if (n == nullptr || n->get_all_clock_frequencies == nullptr) return false;
    std::vector<uint32_t> info(kClockFrequenciesSize / 4, 0);
    info[0] = kClockFrequenciesVersion;  // clock type 0 (current) stays in the zeroed word at offset 4
    if (n->get_all_clock_frequencies(gpu, info.data()) != kNvapiOk) return false;
    *khz = ReadU32(info, kClockGraphicsOffset);
    return true;
  }

  bool GraphicsUsagePercent(GpuHandle gpu, uint32_t* percent) override {
    const Nvapi* n = LoadedNvapi();
    if (n == nullptr || n->get_dynamic_pstates_info_ex == nullptr) return false;
    std::vector<uint32_t> info(kDynamicPstatesSize / 4, 0);
    info[0] = kDynamicPstatesVersion;
    if (n->get_dynamic_pstates_info_ex(gpu, info.data()) != kNvapiOk) return false;
    *percent = ReadU32(info, kGraphicsUsageOffset);
    return true;
  }

  bool MaxGraphicsClockKHz(GpuHandle gpu, uint32_t* khz) override {
    const Nvapi* n = LoadedNvapi();
    if (n == nullptr || n->get_pstates20 == nullptr) return false;
    std::vector<uint32_t> info(kPstates20Size / 4, 0);
    info[0] = kPstates20Version;
    if (n->get_pstates20(gpu, info.data()) != kNvapiOk) return false;
    *khz = ReadU32(info, kPstate0Clock0MaxOffset);
    return true;
  }

  bool CoprocState(uint32_t* state) override {
    const Nvapi* n = LoadedNvapi();
    if (n == nullptr || n->coproc_get_coproc_status == nullptr) return false;
    uint32_t status = 0, s = 0;
    if (n->coproc_get_coproc_status(&status, &s) != kNvapiOk) return false;
    *state = s;
    return true;
  }
};

}  // namespace

NvidiaDriver& PlatformNvidiaDriver() {
  static NvapiDriver driver;
  return driver;
}

}  // namespace velmont::gpu
