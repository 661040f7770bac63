#include "tests/support/memory_registry.h"

#include <cstring>

#include "common/text.h"
#include "common/win32_errors.h"

namespace vantrel::testing {
namespace {

uint32_t TypeBit(uint32_t type) {
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

}  // namespace

// Keys are stored as lower-case "ROOT\sub\key", a value as "<key>|<name>";
// roots always exist and are not stored.
std::wstring MemoryRegistry::KeyName(reg::Root root, const std::wstring& subkey) {
  std::wstring path = reg::RootName(root);
  if (!subkey.empty()) path += L"\\" + subkey;
  return text::ToLower(path);
}

std::wstring MemoryRegistry::ValueName(const std::wstring& key, const std::wstring& value) {
  return key + L"|" + text::ToLower(value);
}

bool MemoryRegistry::ExistsLocked(const std::wstring& key) const {
  return key.find(L'\\') == std::wstring::npos || keys_.count(key) != 0;  // roots always exist
}

void MemoryRegistry::CreateLocked(const std::wstring& key) {
  const size_t root_end = key.find(L'\\');
  for (size_t pos = key.find(L'\\', root_end + 1); pos != std::wstring::npos; pos = key.find(L'\\', pos + 1)) {
    keys_.insert(key.substr(0, pos));
  }
  keys_.insert(key);
}

uint32_t MemoryRegistry::CreateKey(reg::Root root, const std::wstring& subkey) {
  if (const uint32_t error = fail_writes.load()) return error;
  std::lock_guard<std::mutex> lock(mutex_);
  const std::wstring key = KeyName(root, subkey);
  if (key.find(L'\\') != std::wstring::npos) CreateLocked(key);
  return win32::kErrorSuccess;
}

uint32_t MemoryRegistry::OpenKey(reg::Root root, const std::wstring& subkey) {
  std::lock_guard<std::mutex> lock(mutex_);
  return ExistsLocked(KeyName(root, subkey)) ? win32::kErrorSuccess : win32::kErrorFileNotFound;
}

uint32_t MemoryRegistry::GetValue(reg::Root root, const std::wstring& subkey, const std::wstring& value,
                                  uint32_t flags, uint32_t* type, void* data, uint32_t* size) {
  ++reads;
  std::lock_guard<std::mutex> lock(mutex_);
  if ((flags & 0xFFFF) == 0) return win32::kErrorInvalidParameter;
  const std::wstring key = KeyName(root, subkey);
  if (!ExistsLocked(key)) return win32::kErrorFileNotFound;
  auto it = values_.find(ValueName(key, value));
  if (it == values_.end()) return win32::kErrorFileNotFound;
  if ((flags & TypeBit(it->second.type)) == 0) return win32::kErrorUnsupportedType;
  if (type != nullptr) *type = it->second.type;
  const auto needed = static_cast<uint32_t>(it->second.data.size());
  if (data == nullptr) {
    if (size != nullptr) *size = needed;
    return win32::kErrorSuccess;
  }
  // A buffer without a size is treated as empty rather than trusted.
  if (size == nullptr || *size < needed) {
    if (size != nullptr) *size = needed;
    return win32::kErrorMoreData;
  }
  if (needed != 0) std::memcpy(data, it->second.data.data(), needed);
  *size = needed;
  return win32::kErrorSuccess;
}

uint32_t MemoryRegistry::SetValue(reg::Root root, const std::wstring& subkey, const std::wstring& value,
                                  uint32_t type, const void* data, uint32_t size) {
  if (const uint32_t error = fail_writes.load()) return error;
  const auto* bytes = static_cast<const uint8_t*>(data);
  Put(root, subkey, value, type, bytes ? std::vector<uint8_t>(bytes, bytes + size) : std::vector<uint8_t>{});
  return win32::kErrorSuccess;
}

uint32_t MemoryRegistry::DeleteValue(reg::Root root, const std::wstring& subkey, const std::wstring& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::wstring key = KeyName(root, subkey);
  if (!ExistsLocked(key)) return win32::kErrorFileNotFound;
  return values_.erase(ValueName(key, value)) ? win32::kErrorSuccess : win32::kErrorFileNotFound;
}

uint32_t MemoryRegistry::DeleteTree(reg::Root root, const std::wstring& subkey) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::wstring key = KeyName(root, subkey);
  if (!ExistsLocked(key)) return win32::kErrorFileNotFound;
  const std::wstring below = key + L"\\";
  const std::wstring own = key + L"|";
  std::erase_if(keys_, [&](const std::wstring& k) { return k == key || k.starts_with(below); });
  std::erase_if(values_, [&](const auto& v) { return v.first.starts_with(own) || v.first.starts_with(below); });
  return win32::kErrorSuccess;
}

bool MemoryRegistry::HasKey(reg::Root root, const std::wstring& subkey) {
  std::lock_guard<std::mutex> lock(mutex_);
  return ExistsLocked(KeyName(root, subkey));
}

std::optional<MemoryRegistry::Value> MemoryRegistry::Get(reg::Root root, const std::wstring& subkey,
                                                         const std::wstring& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = values_.find(ValueName(KeyName(root, subkey), value));
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

void MemoryRegistry::Put(reg::Root root, const std::wstring& subkey, const std::wstring& value, uint32_t type,
                         std::vector<uint8_t> data) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::wstring key = KeyName(root, subkey);
  if (key.find(L'\\') != std::wstring::npos) CreateLocked(key);
  values_[ValueName(key, value)] = Value{type, std::move(data)};
}

size_t MemoryRegistry::KeyCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return keys_.size();
}

size_t MemoryRegistry::ValueCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return values_.size();
}

void MemoryRegistry::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  keys_.clear();
  values_.clear();
}

bool DenyingRegistry::Deny() {
  ++calls_;
  if (remaining_.load() < 0) return true;
  int left = remaining_.load();
  while (left > 0) {
    if (remaining_.compare_exchange_weak(left, left - 1)) return true;
  }
  return false;
}

uint32_t DenyingRegistry::CreateKey(reg::Root r, const std::wstring& s) {
  return Deny() ? win32::kErrorAccessDenied : inner_.CreateKey(r, s);
}
uint32_t DenyingRegistry::OpenKey(reg::Root r, const std::wstring& s) {
  return Deny() ? win32::kErrorAccessDenied : inner_.OpenKey(r, s);
}
uint32_t DenyingRegistry::GetValue(reg::Root r, const std::wstring& s, const std::wstring& v, uint32_t f,
                                   uint32_t* t, void* d, uint32_t* n) {
  return Deny() ? win32::kErrorAccessDenied : inner_.GetValue(r, s, v, f, t, d, n);
}
uint32_t DenyingRegistry::SetValue(reg::Root r, const std::wstring& s, const std::wstring& v, uint32_t t,
                                   const void* d, uint32_t n) {
  return Deny() ? win32::kErrorAccessDenied : inner_.SetValue(r, s, v, t, d, n);
}
uint32_t DenyingRegistry::DeleteValue(reg::Root r, const std::wstring& s, const std::wstring& v) {
  return Deny() ? win32::kErrorAccessDenied : inner_.DeleteValue(r, s, v);
}
uint32_t DenyingRegistry::DeleteTree(reg::Root r, const std::wstring& s) {
  return Deny() ? win32::kErrorAccessDenied : inner_.DeleteTree(r, s);
}

}  // namespace vantrel::testing
