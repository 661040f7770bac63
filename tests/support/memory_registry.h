// The tests' in-memory registry: RegGetValueW's rules (RRF_RT masks, probes,
// ERROR_MORE_DATA with the needed size), keys and value names without case,
// ancestors created with a key, delete-tree of whole subtrees. A few switches
// let tests make it fail; DenyingRegistry wraps any registry for "denied N times".
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/registry.h"

namespace vantrel::testing {

class MemoryRegistry : public reg::Registry {
 public:
  struct Value {
    uint32_t type;
    std::vector<uint8_t> data;
  };

  uint32_t CreateKey(reg::Root root, const std::wstring& subkey) override;
  uint32_t OpenKey(reg::Root root, const std::wstring& subkey) override;
  uint32_t GetValue(reg::Root root, const std::wstring& subkey, const std::wstring& value, uint32_t flags,
                    uint32_t* type, void* data, uint32_t* size) override;
  uint32_t SetValue(reg::Root root, const std::wstring& subkey, const std::wstring& value, uint32_t type,
                    const void* data, uint32_t size) override;
  uint32_t DeleteValue(reg::Root root, const std::wstring& subkey, const std::wstring& value) override;
  uint32_t DeleteTree(reg::Root root, const std::wstring& subkey) override;

  // Test set-up and inspection; none of these count as reads or obey fail_writes.
  bool HasKey(reg::Root root, const std::wstring& subkey);
  std::optional<Value> Get(reg::Root root, const std::wstring& subkey, const std::wstring& value);
  void Put(reg::Root root, const std::wstring& subkey, const std::wstring& value, uint32_t type,
           std::vector<uint8_t> data);
  size_t KeyCount();    // keys below the roots
  size_t ValueCount();
  void Clear();         // every key and value, as on a fresh machine

  // When non-zero, CreateKey and SetValue fail with this code and change nothing.
  std::atomic<uint32_t> fail_writes{0};
  // GetValue calls so far.
  std::atomic<int> reads{0};

 private:
  static std::wstring KeyName(reg::Root root, const std::wstring& subkey);
  static std::wstring ValueName(const std::wstring& key, const std::wstring& value);
  bool ExistsLocked(const std::wstring& key) const;
  void CreateLocked(const std::wstring& key);

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

  uint32_t CreateKey(reg::Root r, const std::wstring& s) override;
  uint32_t OpenKey(reg::Root r, const std::wstring& s) override;
  uint32_t GetValue(reg::Root r, const std::wstring& s, const std::wstring& v, uint32_t f, uint32_t* t, void* d,
                    uint32_t* n) override;
  uint32_t SetValue(reg::Root r, const std::wstring& s, const std::wstring& v, uint32_t t, const void* d,
                    uint32_t n) override;
  uint32_t DeleteValue(reg::Root r, const std::wstring& s, const std::wstring& v) override;
  uint32_t DeleteTree(reg::Root r, const std::wstring& s) override;

 private:
  bool Deny();
  reg::Registry& inner_;
  std::atomic<int> remaining_;
  std::atomic<int> calls_{0};
};

// Installs a fresh MemoryRegistry (or a subclass) as the system registry for its lifetime.
template <class R = MemoryRegistry>
class ScopedRegistry {
 public:
  ScopedRegistry() { reg::SetSystemRegistryForTesting(&registry_); }
  ~ScopedRegistry() { reg::SetSystemRegistryForTesting(nullptr); }
  ScopedRegistry(const ScopedRegistry&) = delete;
  ScopedRegistry& operator=(const ScopedRegistry&) = delete;
  R& operator*() { return registry_; }
  R* operator->() { return &registry_; }
  R& get() { return registry_; }

 private:
  R registry_;
};

}  // namespace vantrel::testing
