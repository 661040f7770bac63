// The NVML loader and driver through the real handlers: with the test fake
// of libnvidia-ml.so.1 on LD_LIBRARY_PATH, and (NoDriver, a separate run)
// without any NVML at all.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/pipe_message.h"
#include "common/registry.h"
#include "tests/support/hardware_request.h"
#include "hardware/commands/command_processor.h"
#include "hardware/firmware_gpu_startup.h"
#include "tests/support/test_env.h"
#include "tests/unit/hardware/fw_gpu_test_support.h"

namespace fs = std::filesystem;
using velmont::VmClientCommandProcessor;
using vantrel::pipe::PipeArg;
using vantrel::pipe::PipeRequest;

namespace {

using Handler = vantrel::pipe::PipeReply (*)(const PipeRequest&);

uint32_t Call(Handler h, uint16_t command, std::vector<uint8_t> arg = {}) {
  std::vector<std::vector<uint8_t>> args;
  if (!arg.empty()) args.push_back(std::move(arg));
  return vantrel::testing::SingleU32(vantrel::testing::CallHardwareHandler(h, command, args));
}

void Write(const fs::path& p, const std::string& content) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
}

std::optional<std::wstring> GpuName(int n) {
  return vantrel::reg::ReadString(vantrel::reg::SystemRegistry(), vantrel::reg::Root::kLocalMachine,
                                  vantrel::reg::kSuiteKey, L"GPU_Name" + std::to_wstring(n));
}

class GpuOnLinux : public ::testing::Test {
 protected:
  void SetUp() override {
    sys_ = fs::path(env_.root()) / "sysroot";
    // An integrated GPU first in bus order, asleep; the NVIDIA one after it.
    const fs::path igpu = sys_ / "sys/bus/pci/devices/0000:00:02.0";
    Write(igpu / "vendor", "0x8086\n");
    Write(igpu / "class", "0x030000\n");
    Write(igpu / "power/runtime_status", "suspended\n");
    nvidia_ = sys_ / "sys/bus/pci/devices/0000:01:00.0";
    Write(nvidia_ / "vendor", "0x10de\n");
    Write(nvidia_ / "class", "0x030200\n");
    Write(nvidia_ / "power/runtime_status", "active\n");
    const fs::path audio = sys_ / "sys/bus/pci/devices/0000:01:00.1";  // the GPU's sound function
    Write(audio / "vendor", "0x10de\n");
    Write(audio / "class", "0x040300\n");
    Write(audio / "power/runtime_status", "suspended\n");
    setenv("VANTREL_SYSROOT", sys_.c_str(), 1);  // restored by env_
  }

  vantrel::testing::ScopedTestEnv env_;
  fs::path sys_;
  fs::path nvidia_;
};

}  // namespace

TEST_F(GpuOnLinux, FakeNvmlGivesOneGpuAndItsValues) {
  fwgpu_test::LogCapture log;
  velmont::RegisterGpuNames();
  ASSERT_TRUE(velmont::GpuPresent()) << "libnvidia-ml.so.1 (the test fake) was not loaded";
  EXPECT_EQ(GpuName(1), std::wstring(L"NVIDIA GeForce RTX 4070 Laptop GPU"));
  EXPECT_FALSE(GpuName(2));

  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_count, 8), 1u);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_frequency, 10, vantrel::pipe::U32Bytes(0)), 1350u);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_max_frequency, 11, vantrel::pipe::U32Bytes(0)), 2100u);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_usage, 12, vantrel::pipe::U32Bytes(0)), 42u);
  for (uint32_t i : {1u, 64u}) {
    EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_frequency, 10, vantrel::pipe::U32Bytes(i)), 0xFFFFFFFFu);
    EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_usage, 12, vantrel::pipe::U32Bytes(i)), 0xFFFFFFFFu);
  }
  EXPECT_TRUE(log.Has("get_nvdia_monitor_value", "GPU frequency: 1350"));

  // Idle state: the NVIDIA display function's runtime power state.
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_idle_state, 9), 1u);
  Write(nvidia_ / "power/runtime_status", "suspended\n");
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_idle_state, 9), 0u);
  fs::remove(nvidia_ / "power/runtime_status");
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_idle_state, 9), 0xFFFFFFFFu);
  EXPECT_TRUE(log.Has("nvidia_get_coproc_status", "NvAPI_Coproc_GetCoprocStatus() fail"));
}

// Registered as a run of its own, without the fake on LD_LIBRARY_PATH.
class NoDriver : public GpuOnLinux {};

TEST_F(NoDriver, TakesTheOtherVendorPath) {
  void* real = dlopen("libnvidia-ml.so.1", RTLD_NOW | RTLD_LOCAL);
  if (real != nullptr) {
    dlclose(real);
    GTEST_SKIP() << "this machine has NVML; the no-driver run needs a machine without it";
  }
  velmont::RegisterGpuNames();
  EXPECT_FALSE(velmont::GpuPresent());
  EXPECT_FALSE(GpuName(1));
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_count, 8), 0xFFFFFFFFu);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_idle_state, 9), 1u);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_frequency, 10, vantrel::pipe::U32Bytes(0)), 0xFFFFFFFFu);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_max_frequency, 11, vantrel::pipe::U32Bytes(0)), 0xFFFFFFFFu);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_usage, 12, vantrel::pipe::U32Bytes(0)), 0xFFFFFFFFu);
}
