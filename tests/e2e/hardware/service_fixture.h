// Starts the real hardware service as a process, in a private environment,
// with its diagnostic log switched on, and waits until its pipe answers.
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>

#include "common/names.h"
#include "common/pipe_transport.h"
#include "common/process.h"
#include "common/registry.h"
#include "common/text.h"
#include "hardware/commands/command_processor.h"
#include "tests/support/test_env.h"

namespace vantrel::testing {

class HardwareServiceFixture : public ::testing::Test {
 public:
  static std::wstring PipeName() { return names::Instance(vantrel::names::kHardwarePipe); }

 protected:
  void SetUp() override {
    env_ = std::make_unique<ScopedTestEnv>();
    instance_ = std::make_unique<ScopedEnvVar>("VANTREL_INSTANCE", text::ToUtf8(UniqueName(L"_e2e_")));
    program_data_ = (std::filesystem::path(env_->root()) / "programdata").string();
    std::filesystem::create_directories(program_data_);
    reg::WriteString(reg::SystemRegistry(), reg::Root::kLocalMachine, reg::kLogKey, L"VantrelHardwareService", L"");
    // A private key for this run's registry writes (the Windows registry is the
    // prefix's), inside the part of the registry the pipe commands may reach.
    test_key_ = L"HKEY_CURRENT_USER\\Software\\OEM\\VantrelE2E\\" + UniqueName(L"hw");
    process_ = Start();
    ASSERT_NE(process_, nullptr);
    ASSERT_TRUE(WaitFor(
        [] {
          pipe::PipeClient probe(PipeName());
          return probe.Connect() == 0;
        },
        std::chrono::seconds(20)))
        << "the hardware service's pipe never answered";
  }

  void TearDown() override {
    if (process_) {
      process_->Kill();
      process_->Wait(std::chrono::seconds(10));
    }
    reg::KeyPath key = *reg::ParseKeyPath(test_key_);
    reg::SystemRegistry().DeleteTree(key.root, key.subkey);
    reg::SystemRegistry().DeleteValue(reg::Root::kLocalMachine, reg::kLogKey, L"VantrelHardwareService");
  }

  std::unique_ptr<proc::Process> Start() {
    std::map<std::wstring, std::wstring> child = env_->ChildEnv();
    child[L"VANTREL_INSTANCE"] = names::Instance(L"");
    child[L"PROGRAMDATA"] = text::FromUtf8(program_data_);
    return proc::Process::Start(ProgramPath(L"VantrelSysHardwareService"), {}, child);
  }

  // The program's log file contents ("" when none yet).
  std::string LogText() const {
    const auto dir = std::filesystem::path(program_data_) / "OEM" / "VantrelSysMonitorService" / "Log";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
      const std::string name = entry.path().filename().string();
      if (name.size() > 30 && name.ends_with("_VantrelSysHardwareService.log")) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
      }
    }
    return "";
  }

  std::unique_ptr<ScopedTestEnv> env_;
  std::unique_ptr<ScopedEnvVar> instance_;
  std::string program_data_;
  std::wstring test_key_;
  std::unique_ptr<proc::Process> process_;
};

}  // namespace vantrel::testing
