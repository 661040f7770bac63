// Shared by the client-protocol tests: the in-memory registry with cipher
// shortcuts, a log file reader, and helpers to build requests.
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
#include "tests/support/memory_registry.h"
#include "tests/support/test_env.h"

namespace vantrel::testing {

// The shared in-memory registry with shortcuts for the suite key's cipher settings.
class FakeRegistry : public MemoryRegistry {
 public:
  using MemoryRegistry::Get;

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
  std::optional<Value> Get(const std::wstring& name) { return Get(reg::Root::kLocalMachine, reg::kSuiteKey, name); }
};

// Installs a fresh FakeRegistry as the system registry for the test's life.
using ScopedFakeRegistry = ScopedRegistry<FakeRegistry>;

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
