// The Windows registry through the Reg* API, always in the 64-bit view so a
// 32-bit build would see the same keys as the 64-bit product.
#include <windows.h>

#include "common/registry_backend.h"
#include "common/win32_errors.h"

namespace vantrel::reg {
namespace {

HKEY RootHandle(Root root) {
  switch (root) {
    case Root::kLocalMachine: return HKEY_LOCAL_MACHINE;
    case Root::kCurrentUser: return HKEY_CURRENT_USER;
    case Root::kCurrentConfig: return HKEY_CURRENT_CONFIG;
    case Root::kClassesRoot: return HKEY_CLASSES_ROOT;
    case Root::kUsers: return HKEY_USERS;
  }
  return HKEY_LOCAL_MACHINE;
}

// Closes the key when it goes out of scope.
class KeyHandle {
 public:
  KeyHandle() = default;
  ~KeyHandle() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;
  HKEY* out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

uint32_t Open(Root root, const std::wstring& subkey, REGSAM access, KeyHandle* key) {
  return static_cast<uint32_t>(
      RegOpenKeyExW(RootHandle(root), subkey.c_str(), 0, access | KEY_WOW64_64KEY, key->out()));
}

uint32_t Create(Root root, const std::wstring& subkey, REGSAM access, KeyHandle* key) {
  return static_cast<uint32_t>(RegCreateKeyExW(RootHandle(root), subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                               access | KEY_WOW64_64KEY, nullptr, key->out(), nullptr));
}

class WinRegistry final : public Registry {
 public:
  uint32_t CreateKey(Root root, const std::wstring& subkey) override {
    KeyHandle key;
    return Create(root, subkey, KEY_ALL_ACCESS, &key);
  }

  uint32_t OpenKey(Root root, const std::wstring& subkey) override {
    KeyHandle key;
    return Open(root, subkey, KEY_READ, &key);
  }

  uint32_t GetValue(Root root, const std::wstring& subkey, const std::wstring& value, uint32_t flags,
                    uint32_t* type, void* data, uint32_t* size) override {
    // RegGetValueW with a subkey opens it in the default view; open it here
    // in the 64-bit view and let RegGetValueW read from the handle.
    if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
    KeyHandle key;
    const uint32_t rc = Open(root, subkey, KEY_QUERY_VALUE, &key);
    if (rc != ERROR_SUCCESS) {
      if (data != nullptr && size != nullptr && (flags & RRF_ZEROONFAILURE) != 0) ZeroMemory(data, *size);
      return rc;
    }
    DWORD t = 0;
    DWORD s = size != nullptr ? *size : 0;
    const LSTATUS status =
        RegGetValueW(key.get(), nullptr, value.c_str(), flags, type != nullptr ? &t : nullptr, data,
                     size != nullptr ? &s : nullptr);
    if (type != nullptr) *type = t;
    if (size != nullptr) *size = s;
    return static_cast<uint32_t>(status);
  }

  uint32_t SetValue(Root root, const std::wstring& subkey, const std::wstring& value, uint32_t type,
                    const void* data, uint32_t size) override {
    // RegSetKeyValueW creates a missing key but has no view flag.
    KeyHandle key;
    const uint32_t rc = Create(root, subkey, KEY_SET_VALUE, &key);
    if (rc != ERROR_SUCCESS) return rc;
    return static_cast<uint32_t>(
        RegSetValueExW(key.get(), value.c_str(), 0, type, static_cast<const BYTE*>(data), size));
  }

  uint32_t DeleteValue(Root root, const std::wstring& subkey, const std::wstring& value) override {
    KeyHandle key;
    const uint32_t rc = Open(root, subkey, KEY_SET_VALUE, &key);
    if (rc != ERROR_SUCCESS) return rc;
    return static_cast<uint32_t>(RegDeleteValueW(key.get(), value.c_str()));
  }

  uint32_t DeleteTree(Root root, const std::wstring& subkey) override {
    // RegDeleteTreeW(key, nullptr) empties the key opened in the 64-bit view;
    // the key itself then goes with RegDeleteKeyExW in the same view.
    {
      KeyHandle key;
      const uint32_t rc = Open(root, subkey, KEY_ALL_ACCESS, &key);
      if (rc != ERROR_SUCCESS) return rc;
      const LSTATUS emptied = RegDeleteTreeW(key.get(), nullptr);
      if (emptied != ERROR_SUCCESS) return static_cast<uint32_t>(emptied);
    }
    if (subkey.empty()) return ERROR_SUCCESS;
    return static_cast<uint32_t>(RegDeleteKeyExW(RootHandle(root), subkey.c_str(), KEY_WOW64_64KEY, 0));
  }
};

}  // namespace

namespace detail {
Registry& NativeRegistry() {
  static WinRegistry registry;
  return registry;
}
}  // namespace detail

}  // namespace vantrel::reg
