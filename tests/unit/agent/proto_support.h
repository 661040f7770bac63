// Shared by the client-protocol tests: an in-memory registry with
// RegGetValueW's rules, a log file reader, and helpers to build requests.
#pragma once
#include <gtest/gtest.h>
#include <json/json.h>

#include <cryptopp/aes.h>
#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/modes.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/diag_log.h"
#include "common/registry.h"
#include "common/text.h"
#include "common/win32_errors.h"
#include "tests/support/test_env.h"

namespace vantrel::testing {

class FakeRegistry : public reg::Registry {
 public:
  struct Value {
    uint32_t type;
    std::vector<uint8_t> data;
  };

  uint32_t CreateKey(reg::Root root, const std::wstring& subkey) override {
    std::lock_guard lock(mutex_);
    if (fail_writes) return win32::kErrorAccessDenied;
    keys_[Key(root, subkey)];
    return 0;
  }
  uint32_t OpenKey(reg::Root root, const std::wstring& subkey) override {
    std::lock_guard lock(mutex_);
    return keys_.count(Key(root, subkey)) ? 0 : win32::kErrorFileNotFound;
  }
  uint32_t GetValue(reg::Root root, const std::wstring& subkey, const std::wstring& value, uint32_t flags,
                    uint32_t* type, void* data, uint32_t* size) override {
    std::lock_guard lock(mutex_);
    ++reads;
    auto key = keys_.find(Key(root, subkey));
    if (key == keys_.end()) return win32::kErrorFileNotFound;
    auto v = key->second.find(text::ToLower(value));
    if (v == key->second.end()) return win32::kErrorFileNotFound;
    if ((flags & TypeBit(v->second.type)) == 0) return win32::kErrorUnsupportedType;
    if (type != nullptr) *type = v->second.type;
    const uint32_t needed = static_cast<uint32_t>(v->second.data.size());
    if (data == nullptr) {
      if (size != nullptr) *size = needed;
      return 0;
    }
    if (size == nullptr || *size < needed) {
      if (size != nullptr) *size = needed;
      return win32::kErrorMoreData;
    }
    std::memcpy(data, v->second.data.data(), needed);
    *size = needed;
    return 0;
  }
  uint32_t SetValue(reg::Root root, const std::wstring& subkey, const std::wstring& value, uint32_t type,
                    const void* data, uint32_t size) override {
    std::lock_guard lock(mutex_);
    if (fail_writes) return win32::kErrorAccessDenied;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    keys_[Key(root, subkey)][text::ToLower(value)] = Value{type, std::vector<uint8_t>(p, p + size)};
    return 0;
  }
  uint32_t DeleteValue(reg::Root root, const std::wstring& subkey, const std::wstring& value) override {
    std::lock_guard lock(mutex_);
    auto key = keys_.find(Key(root, subkey));
    if (key == keys_.end() || key->second.erase(text::ToLower(value)) == 0) return win32::kErrorFileNotFound;
    return 0;
  }
  uint32_t DeleteTree(reg::Root root, const std::wstring& subkey) override {
    std::lock_guard lock(mutex_);
    return keys_.erase(Key(root, subkey)) ? 0 : win32::kErrorFileNotFound;
  }

  // Suite-key conveniences for the cipher settings.
  void SetDword(const std::wstring& name, uint32_t v) {
    SetValue(reg::Root::kLocalMachine, reg::kSuiteKey, name, win32::kRegDword, &v, sizeof(v));
  }
  void SetText(const std::wstring& name, const std::wstring& v) {
    std::vector<uint8_t> bytes;
    for (wchar_t c : v) {
      bytes.push_back(static_cast<uint8_t>(c & 0xFF));
      bytes.push_back(static_cast<uint8_t>((c >> 8) & 0xFF));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    SetValue(reg::Root::kLocalMachine, reg::kSuiteKey, name, win32::kRegSz, bytes.data(),
             static_cast<uint32_t>(bytes.size()));
  }
  std::optional<Value> Get(const std::wstring& name) {
    std::lock_guard lock(mutex_);
    auto key = keys_.find(Key(reg::Root::kLocalMachine, reg::kSuiteKey));
    if (key == keys_.end()) return std::nullopt;
    auto v = key->second.find(text::ToLower(name));
    if (v == key->second.end()) return std::nullopt;
    return v->second;
  }

  bool fail_writes = false;
  int reads = 0;

 private:
  static std::wstring Key(reg::Root root, const std::wstring& subkey) {
    return std::to_wstring(static_cast<int>(root)) + L"\\" + text::ToLower(subkey);
  }
  static uint32_t TypeBit(uint32_t type) {
    switch (type) {
      case win32::kRegNone: return win32::kRrfRtRegNone;
      case win32::kRegSz: return win32::kRrfRtRegSz;
      case win32::kRegExpandSz: return win32::kRrfRtRegExpandSz;
      case win32::kRegBinary: return win32::kRrfRtRegBinary;
      case win32::kRegDword: return win32::kRrfRtRegDword;
      case win32::kRegMultiSz: return win32::kRrfRtRegMultiSz;
      case win32::kRegQword: return win32::kRrfRtRegQword;
      default: return 0;
    }
  }

  std::mutex mutex_;
  std::map<std::wstring, std::map<std::wstring, Value>> keys_;
};

// Installs a fresh FakeRegistry as the system registry for the test's life.
class ScopedFakeRegistry {
 public:
  ScopedFakeRegistry() { reg::SetSystemRegistryForTesting(&registry_); }
  ~ScopedFakeRegistry() { reg::SetSystemRegistryForTesting(nullptr); }
  FakeRegistry* operator->() { return &registry_; }
  FakeRegistry& get() { return registry_; }

 private:
  FakeRegistry registry_;
};

// A diagnostic log in a temporary folder, installed as the process log.
class CapturedLog {
 public:
  CapturedLog()
      : path_(text::FromUtf8(env_.root()) + L"/" + UniqueName(L"agent") + L".log"),
        log_(path_, L"VantrelSysMonitorService") {
    SetProcessLog(&log_);
  }
  ~CapturedLog() { SetProcessLog(nullptr); }
  // The file's text, whichever encoding the log writes.
  std::wstring Text() const {
    std::ifstream in(text::ToUtf8(path_), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() >= 2 && bytes.find('\0') != std::string::npos) {
      return text::FromUtf16LeLenient(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()),
                                                               bytes.size()));
    }
    return text::FromUtf8(bytes);
  }
  size_t Count(const std::wstring& needle) const {
    const std::wstring all = Text();
    size_t n = 0;
    for (size_t at = all.find(needle); at != std::wstring::npos; at = all.find(needle, at + 1)) ++n;
    return n;
  }

 private:
  ScopedTestEnv env_;
  std::wstring path_;
  DiagnosticLog log_;
};

inline std::vector<uint8_t> Block(uint32_t command, const std::string& body, const char* magic = "VNTL") {
  std::vector<uint8_t> b(magic, magic + 4);
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(command >> (8 * i)));
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

inline std::string AesEncryptRaw(const std::vector<uint8_t>& plain, const std::string& key) {
  std::string out;
  CryptoPP::ECB_Mode<CryptoPP::AES>::Encryption e;
  e.SetKey(reinterpret_cast<const uint8_t*>(key.data()), key.size());
  CryptoPP::StringSource(plain.data(), plain.size(), true,
                         new CryptoPP::StreamTransformationFilter(e, new CryptoPP::StringSink(out)));
  return out;
}

inline std::string Base64DecryptRaw(const std::string& base64, const std::string& key) {
  std::string out;
  CryptoPP::ECB_Mode<CryptoPP::AES>::Decryption d;
  d.SetKey(reinterpret_cast<const uint8_t*>(key.data()), key.size());
  CryptoPP::StringSource(base64, true,
                         new CryptoPP::Base64Decoder(new CryptoPP::StreamTransformationFilter(d, new CryptoPP::StringSink(out))));
  return out;
}

}  // namespace vantrel::testing
