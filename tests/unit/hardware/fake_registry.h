// An in-memory registry with the Win32 semantics the command processor relies
// on, and a wrapper that denies access a given number of times.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "common/registry.h"
#include "common/text.h"
#include "common/win32_errors.h"

namespace vantrel::testing {

class FakeRegistry : public reg::Registry {
 public:
  struct Value {
    uint32_t type;
    std::vector<uint8_t> data;
  };

  uint32_t CreateKey(reg::Root root, const std::wstring& subkey) override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::wstring path = Key(root, subkey);
    // Every ancestor exists too.
    for (size_t pos = path.find(L'\\'); pos != std::wstring::npos; pos = path.find(L'\\', pos + 1)) {
      keys_.insert(path.substr(0, pos));
    }
    keys_.insert(path);
    return 0;
  }
  uint32_t OpenKey(reg::Root root, const std::wstring& subkey) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return Exists(Key(root, subkey)) ? 0 : win32::kErrorFileNotFound;
  }
  uint32_t GetValue(reg::Root root, const std::wstring& subkey, const std::wstring& value, uint32_t flags,
                    uint32_t* type, void* data, uint32_t* size) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if ((flags & 0xFFFF) == 0) return win32::kErrorInvalidParameter;
    auto it = values_.find(Key(root, subkey) + L"|" + text::ToLower(value));
    if (it == values_.end()) return win32::kErrorFileNotFound;
    if ((flags & TypeBit(it->second.type)) == 0) return win32::kErrorUnsupportedType;
    if (type) *type = it->second.type;
    const uint32_t needed = static_cast<uint32_t>(it->second.data.size());
    if (data == nullptr) {
      if (size) *size = needed;
      return 0;
    }
    if (*size < needed) {
      *size = needed;
      return win32::kErrorMoreData;
    }
    if (needed) std::memcpy(data, it->second.data.data(), needed);
    *size = needed;
    return 0;
  }
  uint32_t SetValue(reg::Root root, const std::wstring& subkey, const std::wstring& value, uint32_t type,
                    const void* data, uint32_t size) override {
    CreateKey(root, subkey);
    std::lock_guard<std::mutex> lock(mutex_);
    const auto* bytes = static_cast<const uint8_t*>(data);
    values_[Key(root, subkey) + L"|" + text::ToLower(value)] = {type, std::vector<uint8_t>(bytes, bytes + size)};
    return 0;
  }
  uint32_t DeleteValue(reg::Root root, const std::wstring& subkey, const std::wstring& value) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Exists(Key(root, subkey))) return win32::kErrorFileNotFound;
    return values_.erase(Key(root, subkey) + L"|" + text::ToLower(value)) ? 0 : win32::kErrorFileNotFound;
  }
  uint32_t DeleteTree(reg::Root root, const std::wstring& subkey) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::wstring path = Key(root, subkey);
    if (!Exists(path)) return win32::kErrorFileNotFound;
    const std::wstring below = path + L"\\";
    std::erase_if(keys_, [&](const std::wstring& k) { return k == path || k.rfind(below, 0) == 0; });
    std::erase_if(values_, [&](const auto& v) {
      return v.first.rfind(path + L"|", 0) == 0 || v.first.rfind(below, 0) == 0;
    });
    return 0;
  }

  // Test inspection.
  bool HasKey(reg::Root root, const std::wstring& subkey) {
    std::lock_guard<std::mutex> lock(mutex_);
    return Exists(Key(root, subkey));
  }
  std::optional<Value> Get(reg::Root root, const std::wstring& subkey, const std::wstring& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = values_.find(Key(root, subkey) + L"|" + text::ToLower(value));
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }
  size_t KeyCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return keys_.size();
  }

 private:
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
  static std::wstring Key(reg::Root root, const std::wstring& subkey) {
    std::wstring path = reg::RootName(root);
    if (!subkey.empty()) path += L"\\" + subkey;
    return text::ToLower(path);
  }
  bool Exists(const std::wstring& path) const {
    return path.find(L'\\') == std::wstring::npos || keys_.count(path) != 0;
  }

  std::mutex mutex_;
  std::set<std::wstring> keys_;
  std::map<std::wstring, Value> values_;
};

// Answers ERROR_ACCESS_DENIED to the first `denials` operations (all of them
// when negative), then passes them to the wrapped registry.
class DenyingRegistry : public reg::Registry {
 public:
  DenyingRegistry(reg::Registry& inner, int denials) : inner_(inner), remaining_(denials) {}
  int calls() const { return calls_.load(); }

  uint32_t CreateKey(reg::Root r, const std::wstring& s) override {
    return Deny() ? win32::kErrorAccessDenied : inner_.CreateKey(r, s);
  }
  uint32_t OpenKey(reg::Root r, const std::wstring& s) override {
    return Deny() ? win32::kErrorAccessDenied : inner_.OpenKey(r, s);
  }
  uint32_t GetValue(reg::Root r, const std::wstring& s, const std::wstring& v, uint32_t f, uint32_t* t, void* d,
                    uint32_t* n) override {
    return Deny() ? win32::kErrorAccessDenied : inner_.GetValue(r, s, v, f, t, d, n);
  }
  uint32_t SetValue(reg::Root r, const std::wstring& s, const std::wstring& v, uint32_t t, const void* d,
                    uint32_t n) override {
    return Deny() ? win32::kErrorAccessDenied : inner_.SetValue(r, s, v, t, d, n);
  }
  uint32_t DeleteValue(reg::Root r, const std::wstring& s, const std::wstring& v) override {
    return Deny() ? win32::kErrorAccessDenied : inner_.DeleteValue(r, s, v);
  }
  uint32_t DeleteTree(reg::Root r, const std::wstring& s) override {
    return Deny() ? win32::kErrorAccessDenied : inner_.DeleteTree(r, s);
  }

 private:
  bool Deny() {
    ++calls_;
    if (remaining_ < 0) return true;
    int left = remaining_.load();
    while (left > 0) {
      if (remaining_.compare_exchange_weak(left, left - 1)) return true;
    }
    return false;
  }
  reg::Registry& inner_;
  std::atomic<int> remaining_;
  std::atomic<int> calls_{0};
};

}  // namespace vantrel::testing
