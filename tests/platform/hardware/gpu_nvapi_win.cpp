// The NVAPI loader and driver through the real handlers: with the test fake
// of nvapi64.dll copied into the system directory, and (NoDriver, a separate
// run) without one.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/pipe_message.h"
#include "common/registry.h"
#include "common/text.h"
#include "tests/support/hardware_request.h"
#include "hardware/commands/command_processor.h"
#include "hardware/firmware_gpu_startup.h"
#include "tests/unit/hardware/fw_gpu_test_support.h"

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

std::wstring SystemNvapiPath() {
  wchar_t dir[MAX_PATH];
  UINT n = GetSystemDirectoryW(dir, MAX_PATH);
  return std::wstring(dir, n) + L"\\nvapi64.dll";
}

// The build tree path of the fake, as a Windows path (Wine sees / under Z:).
std::wstring FakeNvapiPath() {
  const char* p = std::getenv("VANTREL_FAKE_NVAPI");
  if (p == nullptr) return {};
  std::wstring w = vantrel::text::FromUtf8(p);
  if (!w.empty() && w[0] == L'/') w = L"Z:" + w;
  for (auto& c : w) {
    if (c == L'/') c = L'\\';
  }
  return w;
}

bool IsOurFake(const std::wstring& path) {
  HMODULE m = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (m == nullptr) return false;
  FreeLibrary(m);
  // The fake is tiny; a real driver library is megabytes.
  WIN32_FILE_ATTRIBUTE_DATA a{};
  return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &a) && a.nFileSizeHigh == 0 &&
         a.nFileSizeLow < 1024 * 1024;
}

class GpuOnWindows : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::wstring fake = FakeNvapiPath();
    ASSERT_FALSE(fake.empty()) << "VANTREL_FAKE_NVAPI is not set (run through ctest)";
    const std::wstring target = SystemNvapiPath();
    if (GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES && !IsOurFake(target)) {
      GTEST_SKIP() << "a real nvapi64.dll is installed; not replacing it";
    }
    ASSERT_TRUE(CopyFileW(fake.c_str(), target.c_str(), FALSE)) << GetLastError();
    placed_ = true;
  }
  static void TearDownTestSuite() {
    if (!placed_) return;
    // Loaded for good by now: if it cannot go at once, it goes at the next start.
    if (!DeleteFileW(SystemNvapiPath().c_str())) {
      MoveFileExW(SystemNvapiPath().c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
  }
  static inline bool placed_ = false;
};

}  // namespace

TEST_F(GpuOnWindows, FakeNvapiGivesOneGpuAndItsValues) {
  fwgpu_test::ScopedMemoryRegistry reg;
  fwgpu_test::LogCapture log;
  velmont::RegisterGpuNames();
  ASSERT_TRUE(velmont::GpuPresent()) << "nvapi64.dll (the test fake) was not loaded";
  EXPECT_EQ(vantrel::reg::ReadString(*reg, vantrel::reg::Root::kLocalMachine, vantrel::reg::kSuiteKey, L"GPU_Name1"),
            std::wstring(L"NVIDIA GeForce RTX 4070 Laptop GPU"));
  EXPECT_EQ(reg->ValueCount(), 1u);

  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_count, 8), 1u);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_frequency, 10, vantrel::pipe::U32Bytes(0)), 1350u);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_max_frequency, 11, vantrel::pipe::U32Bytes(0)), 2100u);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_usage, 12, vantrel::pipe::U32Bytes(0)), 42u);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_idle_state, 9), 1u);
  for (uint32_t i : {1u, 64u, 0xFFFFFFFFu}) {
    EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_frequency, 10, vantrel::pipe::U32Bytes(i)), 0xFFFFFFFFu) << i;
    EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_max_frequency, 11, vantrel::pipe::U32Bytes(i)), 0xFFFFFFFFu);
    EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_usage, 12, vantrel::pipe::U32Bytes(i)), 0xFFFFFFFFu);
  }
  EXPECT_TRUE(log.Has("get_nvdia_monitor_value", "GPU frequency: 1350"));
  EXPECT_TRUE(log.Has("get_nvdia_monitor_value", "GPU max frequency: 2100"));
  EXPECT_TRUE(log.Has("nvidia_get_coproc_status", "pCoprocState: 1"));
}

TEST_F(GpuOnWindows, LibraryComesFromTheSystemDirectoryOnly) {
  // The fake is loaded from system32 and not from beside the program.
  HMODULE m = GetModuleHandleW(L"nvapi64.dll");
  ASSERT_NE(m, nullptr);
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(m, path, MAX_PATH);
  EXPECT_EQ(vantrel::text::ToLower(std::wstring(path, n)), vantrel::text::ToLower(SystemNvapiPath()));
}

// Registered as a run of its own, while no nvapi64.dll is in the system directory.
TEST(NoDriver, TakesTheOtherVendorPath) {
  if (GetFileAttributesW(SystemNvapiPath().c_str()) != INVALID_FILE_ATTRIBUTES) {
    GTEST_SKIP() << "an nvapi64.dll is installed; the no-driver run needs a system without it";
  }
  fwgpu_test::ScopedMemoryRegistry reg;
  velmont::RegisterGpuNames();
  EXPECT_FALSE(velmont::GpuPresent());
  EXPECT_EQ(reg->ValueCount(), 0u);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_count, 8), 0xFFFFFFFFu);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_idle_state, 9), 1u);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_frequency, 10, vantrel::pipe::U32Bytes(0)), 0xFFFFFFFFu);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_max_frequency, 11, vantrel::pipe::U32Bytes(0)), 0xFFFFFFFFu);
  EXPECT_EQ(Call(&VmClientCommandProcessor::gpu_get_usage, 12, vantrel::pipe::U32Bytes(0)), 0xFFFFFFFFu);
}
