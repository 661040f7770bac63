// GPU commands over a fake NVIDIA driver: the two paths, the presence flag,
// the published names and the index guard.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "common/pipe_message.h"
#include "tests/support/hardware_request.h"
#include "hardware/commands/command_processor.h"
#include "hardware/firmware_gpu_startup.h"
#include "hardware/gpu/telemetry.h"
#include "tests/unit/hardware/fw_gpu_test_support.h"

namespace gpu = velmont::gpu;
using velmont::VmClientCommandProcessor;
using vantrel::pipe::PipeArg;
using vantrel::pipe::PipeRequest;

namespace {

class FakeDriver final : public gpu::NvidiaDriver {
 public:
  explicit FakeDriver(uint32_t gpus) : gpus_(gpus) {
    for (uint32_t i = 0; i < gpus; ++i) handles_.push_back(&slots_[i]);
  }
  bool init_ok = true;
  bool enum_ok = true;
  bool values_ok = true;
  bool coproc_ok = true;
  std::set<uint32_t> unnamed;
  uint32_t clock_khz = 1350000;
  uint32_t max_khz = 2100000;
  uint32_t usage = 42;
  uint32_t coproc_state = 1;
  std::set<const void*> touched;  // handles the value calls were given

  bool Initialize() override { return init_ok; }
  bool EnumPhysicalGpus(gpu::GpuHandle (&h)[gpu::kMaxPhysicalGpus], uint32_t* count) override {
    if (!enum_ok) return false;
    for (uint32_t i = 0; i < gpus_; ++i) h[i] = handles_[i];
    *count = gpus_;
    return true;
  }
  bool FullName(gpu::GpuHandle g, std::string* name) override {
    const uint32_t i = Index(g);
    if (unnamed.count(i)) return false;
    *name = "NVIDIA GeForce RTX " + std::to_string(4070 + i) + " \xC2\xB5";  // one non-ASCII character
    return true;
  }
  bool CurrentGraphicsClockKHz(gpu::GpuHandle g, uint32_t* khz) override {
    touched.insert(g);
    *khz = clock_khz;
    return values_ok && Valid(g);
  }
  bool GraphicsUsagePercent(gpu::GpuHandle g, uint32_t* p) override {
    touched.insert(g);
    *p = usage;
    return values_ok && Valid(g);
  }
  bool MaxGraphicsClockKHz(gpu::GpuHandle g, uint32_t* khz) override {
    touched.insert(g);
    *khz = max_khz;
    return values_ok && Valid(g);
  }
  bool CoprocState(uint32_t* state) override {
    *state = coproc_state;
    return coproc_ok;
  }

 private:
  uint32_t Index(gpu::GpuHandle g) const {
    for (uint32_t i = 0; i < gpus_; ++i) {
      if (handles_[i] == g) return i;
    }
    return UINT32_MAX;
  }
  bool Valid(gpu::GpuHandle g) const { return Index(g) != UINT32_MAX; }
  uint32_t gpus_;
  int slots_[gpu::kMaxPhysicalGpus] = {};
  std::vector<void*> handles_;
};

// Installs the fake driver and a presence flag for one test.
class GpuPaths : public ::testing::Test {
 protected:
  void TearDown() override {
    gpu::SetNvidiaDriverForTesting(nullptr);
    gpu::SetPresenceFlagForTesting(false);
  }
  void Use(FakeDriver* d, bool present) {
    gpu::SetNvidiaDriverForTesting(d);
    gpu::SetPresenceFlagForTesting(present);
  }
};

using Handler = vantrel::pipe::PipeReply (*)(const PipeRequest&);

uint32_t Call(Handler h, uint16_t command, std::vector<std::vector<uint8_t>> args = {}) {
  return vantrel::testing::SingleU32(vantrel::testing::CallHardwareHandler(h, command, args));
}

std::vector<uint8_t> Index(uint32_t i) { return vantrel::pipe::U32Bytes(i); }

}  // namespace

TEST_F(GpuPaths, OtherVendorAnswersMinusOneAndIdleOne) {
  FakeDriver d(1);
  Use(&d, false);  // a driver answers, but start-up found no NVIDIA GPU
  fwgpu_test::LogCapture log;
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_count, 8), 0xFFFFFFFFu);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_idle_state, 9), 1u);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_frequency, 10, {Index(0)}), 0xFFFFFFFFu);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_max_frequency, 11, {Index(0)}), 0xFFFFFFFFu);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_usage, 12, {Index(0)}), 0xFFFFFFFFu);
  EXPECT_TRUE(d.touched.empty());
  EXPECT_TRUE(log.Has("gpu_get_count", "kSvcCmdGPUGetCount"));
  EXPECT_TRUE(log.Has("amd_gpu_lib_function", "Input AMDGPULibType: 3"));
  EXPECT_TRUE(log.Has("amd_gpu_lib_function", "rslt: -1"));
  EXPECT_TRUE(log.Has("gpu_get_usage", "Graphic card index: 0"));
}

TEST_F(GpuPaths, NvidiaValuesInMhzAndPercent) {
  FakeDriver d(1);
  Use(&d, true);
  fwgpu_test::LogCapture log;
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_count, 8), 1u);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_frequency, 10, {Index(0)}), 1350u);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_max_frequency, 11, {Index(0)}), 2100u);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_usage, 12, {Index(0)}), 42u);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_idle_state, 9), 1u);
  d.coproc_state = 0;
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_idle_state, 9), 0u);
  // An index longer than 4 bytes reads as 0.
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_frequency, 10, {vantrel::pipe::U64Bytes(1)}), 1350u);
  EXPECT_TRUE(log.Has("get_nvdia_monitor_value", "Input NVMonitorType: 0, Graphic index: 0"));
  EXPECT_TRUE(log.Has("get_nvdia_monitor_value", "GPU frequency: 1350"));
  EXPECT_TRUE(log.Has("get_nvdia_monitor_value", "GPU max frequency: 2100"));
  EXPECT_TRUE(log.Has("get_nvdia_monitor_value", "GPU usage: 42"));
  EXPECT_TRUE(log.Has("get_nvdia_monitor_value", "GPU count: 1"));
  EXPECT_TRUE(log.Has("nvidia_get_coproc_status", "pCoprocState: 0"));
}

TEST_F(GpuPaths, IndexNotBelowTheCountNeverReachesTheDriver) {
  FakeDriver d(1);
  Use(&d, true);
  for (uint32_t i : {1u, 2u, 63u, 64u, 1000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_frequency, 10, {Index(i)}), 0xFFFFFFFFu) << i;
    EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_max_frequency, 11, {Index(i)}), 0xFFFFFFFFu) << i;
    EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_usage, 12, {Index(i)}), 0xFFFFFFFFu) << i;
  }
  EXPECT_TRUE(d.touched.empty());
}

TEST_F(GpuPaths, DriverFailuresBecomeMinusOneOrZeroCount) {
  FakeDriver d(2);
  Use(&d, true);
  fwgpu_test::LogCapture log;
  d.values_ok = false;
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_frequency, 10, {Index(1)}), 0xFFFFFFFFu);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_max_frequency, 11, {Index(1)}), 0xFFFFFFFFu);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_usage, 12, {Index(1)}), 0xFFFFFFFFu);
  EXPECT_NE(log.Raw().find("[ERROR]     "), std::string::npos);
  EXPECT_TRUE(log.Has("get_nvdia_monitor_value", "NvAPI_GPU_GetPstates20() fail"));
  d.values_ok = true;
  // A value that would read negative is reported as -1, not as a huge number.
  d.usage = 0x80000000u;
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_usage, 12, {Index(0)}), 0xFFFFFFFFu);
  d.enum_ok = false;
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_count, 8), 0u);
  EXPECT_TRUE(log.Has("get_nvdia_monitor_value", "NvAPI_EnumPhysicalGPUs() fail"));
  d.init_ok = false;
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_count, 8), 0u);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_frequency, 10, {Index(0)}), 0xFFFFFFFFu);
  EXPECT_TRUE(log.Has("get_nvdia_monitor_value", "NvAPI_Initialize() fail"));
  // An unreadable co-processor state is a failure, not a made-up state.
  d.coproc_ok = false;
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_idle_state, 9), 0xFFFFFFFFu);
  EXPECT_TRUE(log.Has("nvidia_get_coproc_status", "NvAPI_Coproc_GetCoprocStatus() fail"));
}

TEST_F(GpuPaths, NamesArePublishedWithGapsAndSetThePresenceFlag) {
  FakeDriver d(3);
  d.unnamed.insert(1);
  Use(&d, false);
  fwgpu_test::ScopedMemoryRegistry reg;
  fwgpu_test::LogCapture log;
  velmont::RegisterGpuNames();
  EXPECT_TRUE(velmont::GpuPresent());
  using vantrel::reg::ReadString;
  using vantrel::reg::Root;
  EXPECT_EQ(ReadString(*reg, Root::kLocalMachine, vantrel::reg::kSuiteKey, L"GPU_Name1"),
            std::wstring(L"NVIDIA GeForce RTX 4070 \u00B5"));
  EXPECT_FALSE(ReadString(*reg, Root::kLocalMachine, vantrel::reg::kSuiteKey, L"GPU_Name2"));
  EXPECT_EQ(ReadString(*reg, Root::kLocalMachine, vantrel::reg::kSuiteKey, L"GPU_Name3"),
            std::wstring(L"NVIDIA GeForce RTX 4072 \u00B5"));
  EXPECT_TRUE(log.Has("check_gpu_name", "write_gpu_name - start"));
  EXPECT_TRUE(log.Has("check_gpu_name", "check_gpu_name - end"));
}

TEST_F(GpuPaths, NoGpuOrNoDriverLeavesFlagAndRegistryAlone) {
  fwgpu_test::ScopedMemoryRegistry reg;
  FakeDriver none(0);
  Use(&none, false);
  velmont::RegisterGpuNames();
  EXPECT_FALSE(velmont::GpuPresent());
  FakeDriver broken(1);
  broken.init_ok = false;
  Use(&broken, false);
  velmont::RegisterGpuNames();
  EXPECT_FALSE(velmont::GpuPresent());
  EXPECT_EQ(reg->ValueCount(), 0u);
}
