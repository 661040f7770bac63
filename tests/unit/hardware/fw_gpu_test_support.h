// Helpers shared by the firmware and GPU tests: the in-memory registry (so
// tests never write the machine's or another test's keys) and a capture of
// the process log.
#pragma once
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "common/diag_log.h"
#include "common/registry.h"
#include "common/text.h"
#include "common/win32_errors.h"
#include "tests/support/memory_registry.h"
#include "tests/support/test_env.h"

namespace fwgpu_test {

using MemoryRegistry = vantrel::testing::MemoryRegistry;
// Installs a MemoryRegistry as the system registry for its lifetime.
using ScopedMemoryRegistry = vantrel::testing::ScopedRegistry<>;

// Routes the process log to a file in a private folder for its lifetime.
class LogCapture {
 public:
  LogCapture()
      : path_((std::filesystem::temp_directory_path() /
               (vantrel::text::ToUtf8(vantrel::testing::UniqueName(L"fwgpu_log_")) + ".log"))
                  .string()),
        log_(vantrel::text::FromUtf8(path_), L"VantrelSysHardwareService") {
    previous_ = vantrel::ProcessLog();
    vantrel::SetProcessLog(&log_);
  }
  ~LogCapture() {
    vantrel::SetProcessLog(previous_);
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }

  // "function | message" of every line, in order.
  std::vector<std::string> Lines() const {
    std::vector<std::string> out;
    std::ifstream in(path_, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      // tag time | module | function | message
      size_t a = line.find(" | ");
      size_t b = a == std::string::npos ? a : line.find(" | ", a + 3);
      if (b != std::string::npos) out.push_back(line.substr(b + 3));
    }
    return out;
  }
  bool Has(const std::string& function, const std::string& message) const {
    const std::string want = "velmont::VmClientCommandProcessor::" + function + " | " + message;
    for (const auto& l : Lines()) {
      if (l == want) return true;
    }
    return false;
  }
  // Whole lines, tag included, for level checks.
  std::string Raw() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

 private:
  std::string path_;
  vantrel::DiagnosticLog log_;
  vantrel::DiagnosticLog* previous_ = nullptr;
};

}  // namespace fwgpu_test
