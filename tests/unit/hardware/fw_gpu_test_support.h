// Helpers shared by the firmware and GPU tests: an in-memory registry (so
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
#include "tests/support/test_env.h"

namespace fwgpu_test {

class MemoryRegistry final : public vantrel::reg::Registry {
 public:
  struct Value {
    uint32_t type;
    std::vector<uint8_t> data;
  };
  using Key = std::tuple<int, std::wstring, std::wstring>;

  uint32_t CreateKey(vantrel::reg::Root root, const std::wstring& subkey) override {
    std::lock_guard<std::mutex> g(lock_);
    keys_[{static_cast<int>(root), Fold(subkey)}] = true;
    return 0;
  }
  uint32_t OpenKey(vantrel::reg::Root root, const std::wstring& subkey) override {
    std::lock_guard<std::mutex> g(lock_);
    return keys_.count({static_cast<int>(root), Fold(subkey)}) ? 0 : vantrel::win32::kErrorFileNotFound;
  }
  uint32_t GetValue(vantrel::reg::Root root, const std::wstring& subkey, const std::wstring& value, uint32_t flags,
                    uint32_t* type, void* data, uint32_t* size) override {
    std::lock_guard<std::mutex> g(lock_);
    auto it = values_.find(Key{static_cast<int>(root), Fold(subkey), Fold(value)});
    if (it == values_.end()) return vantrel::win32::kErrorFileNotFound;
    const uint32_t mask = it->second.type == vantrel::win32::kRegSz      ? vantrel::win32::kRrfRtRegSz
                          : it->second.type == vantrel::win32::kRegDword ? vantrel::win32::kRrfRtRegDword
                          : it->second.type == vantrel::win32::kRegQword ? vantrel::win32::kRrfRtRegQword
                                                                         : vantrel::win32::kRrfRtRegBinary;
    if ((flags & mask) == 0) return vantrel::win32::kErrorUnsupportedType;
    if (type != nullptr) *type = it->second.type;
    const auto n = static_cast<uint32_t>(it->second.data.size());
    if (data != nullptr && *size < n) {
      *size = n;
      return vantrel::win32::kErrorMoreData;
    }
    if (data != nullptr && n > 0) std::memcpy(data, it->second.data.data(), n);
    *size = n;
    return 0;
  }
  uint32_t SetValue(vantrel::reg::Root root, const std::wstring& subkey, const std::wstring& value, uint32_t type,
                    const void* data, uint32_t size) override {
    std::lock_guard<std::mutex> g(lock_);
    keys_[{static_cast<int>(root), Fold(subkey)}] = true;
    const auto* p = static_cast<const uint8_t*>(data);
    values_[Key{static_cast<int>(root), Fold(subkey), Fold(value)}] = Value{type, std::vector<uint8_t>(p, p + size)};
    return 0;
  }
  uint32_t DeleteValue(vantrel::reg::Root root, const std::wstring& subkey, const std::wstring& value) override {
    std::lock_guard<std::mutex> g(lock_);
    return values_.erase(Key{static_cast<int>(root), Fold(subkey), Fold(value)}) ? 0
                                                                                  : vantrel::win32::kErrorFileNotFound;
  }
  uint32_t DeleteTree(vantrel::reg::Root, const std::wstring&) override { return vantrel::win32::kErrorNotSupported; }

  size_t ValueCount() {
    std::lock_guard<std::mutex> g(lock_);
    return values_.size();
  }

 private:
  static std::wstring Fold(const std::wstring& s) { return vantrel::text::ToLower(s); }
  std::mutex lock_;
  std::map<std::pair<int, std::wstring>, bool> keys_;
  std::map<Key, Value> values_;
};

// Installs a MemoryRegistry as the system registry for its lifetime.
class ScopedMemoryRegistry {
 public:
  ScopedMemoryRegistry() { vantrel::reg::SetSystemRegistryForTesting(&registry_); }
  ~ScopedMemoryRegistry() { vantrel::reg::SetSystemRegistryForTesting(nullptr); }
  MemoryRegistry& operator*() { return registry_; }
  MemoryRegistry* operator->() { return &registry_; }

 private:
  MemoryRegistry registry_;
};

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
