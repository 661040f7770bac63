// The real hardware service and vantrelctl on Windows (Wine: no firmware
// class) with the fake nvapi64.dll in the system directory: GPU values and
// names come from the driver, every firmware command shows its failure value.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <string>

#include "common/names.h"
#include "common/pipe_transport.h"
#include "common/process.h"
#include "common/registry.h"
#include "common/text.h"
#include "hardware/commands/command_processor.h"
#include "tests/support/test_env.h"

using namespace vantrel;
namespace vt = vantrel::testing;

namespace {

std::wstring SystemNvapiPath() {
  wchar_t dir[MAX_PATH];
  UINT n = GetSystemDirectoryW(dir, MAX_PATH);
  return std::wstring(dir, n) + L"\\nvapi64.dll";
}

// <build>\fakes\nvapi64.dll, next to <build>\bin.
std::wstring FakeNvapiPath() {
  std::wstring bin = vt::ProgramPath(L"x");
  for (auto& c : bin) {
    if (c == L'/') c = L'\\';
  }
  if (!bin.empty() && bin[0] == L'\\') bin = L"Z:" + bin;
  const size_t file = bin.rfind(L'\\');
  const size_t dir = file == std::wstring::npos ? file : bin.rfind(L'\\', file - 1);
  if (dir == std::wstring::npos) return {};
  return bin.substr(0, dir) + L"\\fakes\\nvapi64.dll";
}

class FwGpuService : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::wstring target = SystemNvapiPath();
    if (GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) {
      GTEST_SKIP() << "an nvapi64.dll is already installed; not replacing it";
    }
    ASSERT_TRUE(CopyFileW(FakeNvapiPath().c_str(), target.c_str(), TRUE))
        << "copy of " << text::ToUtf8(FakeNvapiPath()) << " failed: " << GetLastError();
    placed_ = true;
  }
  static void TearDownTestSuite() {
    // A service just killed may still have the DLL mapped for a moment; a fake
    // left behind would be loaded by every later test's hardware service.
    bool gone = !placed_;
    for (int i = 0; !gone && i < 100; ++i) {
      gone = DeleteFileW(SystemNvapiPath().c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
      if (!gone) Sleep(100);
    }
    if (!gone) {
      ADD_FAILURE() << "the fake nvapi64.dll could not be removed: " << GetLastError();
      MoveFileExW(SystemNvapiPath().c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    placed_ = false;
  }

  void SetUp() override {
    env_ = std::make_unique<vt::ScopedTestEnv>();
    instance_ = std::make_unique<vt::ScopedEnvVar>("VANTREL_INSTANCE", text::ToUtf8(vt::UniqueName(L"_fwgpu_")));
    auto env = env_->ChildEnv();
    env[L"VANTREL_INSTANCE"] = names::Instance(L"");
    process_ = proc::Process::Start(vt::ProgramPath(L"VantrelSysHardwareService"), {}, env);
    ASSERT_NE(process_, nullptr);
    ASSERT_TRUE(vt::WaitFor(
        [] {
          pipe::PipeClient probe(names::Instance(vantrel::names::kHardwarePipe));
          return probe.Connect() == 0;
        },
        std::chrono::seconds(30)));
  }

  void TearDown() override {
    if (process_) {
      process_->Kill();
      process_->Wait(std::chrono::seconds(10));
    }
    reg::SystemRegistry().DeleteValue(reg::Root::kLocalMachine, reg::kSuiteKey, L"GPU_Name1");
  }

  // vantrelctl --json <args>: the "value" it shows.
  std::optional<long long> Value(const std::string& args) {
    const std::string command =
        "\"\"" + text::ToUtf8(vt::ProgramPath(L"vantrelctl")) + "\" --json " + args + " 2>NUL\"";
    FILE* p = _popen(command.c_str(), "r");
    if (p == nullptr) return std::nullopt;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    _pclose(p);
    std::smatch m;
    if (!std::regex_search(out, m, std::regex("\"value\"\\s*:\\s*(-?[0-9]+)"))) {
      ADD_FAILURE() << args << ": " << out;
      return std::nullopt;
    }
    return std::stoll(m[1]);
  }

  static inline bool placed_ = false;
  std::unique_ptr<vt::ScopedTestEnv> env_;
  std::unique_ptr<vt::ScopedEnvVar> instance_;
  std::unique_ptr<proc::Process> process_;
};

}  // namespace

TEST_F(FwGpuService, GpuFromTheFakeDriverFirmwareFailsWithoutItsClass) {
  EXPECT_EQ(Value("hw gpu count"), 1);
  EXPECT_EQ(Value("hw gpu idle"), 1);
  EXPECT_EQ(Value("hw gpu freq 0"), 1350);
  EXPECT_EQ(Value("hw gpu maxfreq 0"), 2100);
  EXPECT_EQ(Value("hw gpu usage 0"), 42);
  const auto beyond = Value("hw gpu freq 1");
  EXPECT_TRUE(beyond == -1 || beyond == 0xFFFFFFFFll);
  EXPECT_EQ(reg::ReadString(reg::SystemRegistry(), reg::Root::kLocalMachine, reg::kSuiteKey, L"GPU_Name1"),
            std::wstring(L"NVIDIA GeForce RTX 4070 Laptop GPU"));

  // Get rows show the 8-byte 0x00000000FFFFFFFF, Set rows the 4-byte 0xFFFFFFFF.
  EXPECT_EQ(Value("hw fw 7 0x0101"), 0xFFFFFFFFll);
  EXPECT_EQ(Value("hw fw 15 0x1234"), 0xFFFFFFFFll);
  EXPECT_EQ(Value("hw fw 30 1"), 0xFFFFFFFFll);
}
