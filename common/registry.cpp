#include "common/registry.h"

#include <atomic>
#include <cstring>
#include <vector>

#include "common/registry_backend.h"
#include "common/text.h"
#include "common/win32_errors.h"

namespace vantrel::reg {
namespace {

struct RootEntry {
  Root root;
  const wchar_t* name;
};

constexpr RootEntry kRoots[] = {
    {Root::kLocalMachine, L"HKEY_LOCAL_MACHINE"}, {Root::kCurrentUser, L"HKEY_CURRENT_USER"},
    {Root::kCurrentConfig, L"HKEY_CURRENT_CONFIG"}, {Root::kClassesRoot, L"HKEY_CLASSES_ROOT"},
    {Root::kUsers, L"HKEY_USERS"},
};

std::atomic<Registry*> g_override{nullptr};

}  // namespace

std::optional<Root> ParseRootName(std::wstring_view name) {
  for (const auto& entry : kRoots) {
    if (text::EqualsIgnoreCase(name, entry.name)) return entry.root;
  }
  return std::nullopt;
}

const wchar_t* RootName(Root root) {
  for (const auto& entry : kRoots) {
    if (entry.root == root) return entry.name;
  }
  return L"";
}

std::optional<KeyPath> ParseKeyPath(std::wstring_view path) {
  const size_t slash = path.find(L'\\');
  const std::optional<Root> root = ParseRootName(path.substr(0, slash));
  if (!root) return std::nullopt;
  KeyPath result{*root, {}};
  if (slash != std::wstring_view::npos) result.subkey.assign(path.substr(slash + 1));
  return result;
}

Registry& SystemRegistry() {
  if (Registry* r = g_override.load(std::memory_order_acquire)) return *r;
  return detail::NativeRegistry();
}

void SetSystemRegistryForTesting(Registry* registry) { g_override.store(registry, std::memory_order_release); }

std::optional<uint32_t> ReadDword(Registry& r, Root root, const std::wstring& subkey, const std::wstring& value) {
  uint8_t bytes[4] = {};
  uint32_t size = sizeof(bytes);
  uint32_t type = 0;
  if (r.GetValue(root, subkey, value, win32::kRrfRtRegDword, &type, bytes, &size) != win32::kErrorSuccess ||
      size != sizeof(bytes)) {
    return std::nullopt;
  }
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

std::optional<std::wstring> ReadString(Registry& r, Root root, const std::wstring& subkey, const std::wstring& value) {
  // The value can change between the size probe and the read; retry a few
  // times on ERROR_MORE_DATA rather than failing on a concurrent writer.
  uint32_t size = 0;
  uint32_t type = 0;
  uint32_t rc = r.GetValue(root, subkey, value, win32::kRrfRtRegSz, &type, nullptr, &size);
  for (int attempt = 0; attempt < 4 && rc == win32::kErrorSuccess; ++attempt) {
    std::vector<uint8_t> buffer(size + 2);  // room for a terminator however the data ends
    uint32_t got = size;
    rc = r.GetValue(root, subkey, value, win32::kRrfRtRegSz, &type, buffer.data(), &got);
    if (rc == win32::kErrorMoreData) {
      size = got;
      rc = win32::kErrorSuccess;
      continue;
    }
    if (rc != win32::kErrorSuccess) break;
    buffer.resize(got);
    return text::FromUtf16LeLenient(buffer);
  }
  return std::nullopt;
}

uint32_t WriteDword(Registry& r, Root root, const std::wstring& subkey, const std::wstring& value, uint32_t data) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(data), static_cast<uint8_t>(data >> 8),
                            static_cast<uint8_t>(data >> 16), static_cast<uint8_t>(data >> 24)};
  return r.SetValue(root, subkey, value, win32::kRegDword, bytes, sizeof(bytes));
}

uint32_t WriteString(Registry& r, Root root, const std::wstring& subkey, const std::wstring& value,
                     const std::wstring& data) {
  const std::vector<uint8_t> bytes = text::ToUtf16LeZ(data);
  return r.SetValue(root, subkey, value, win32::kRegSz, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

bool ValueExists(Registry& r, Root root, const std::wstring& subkey, const std::wstring& value) {
  uint32_t size = 0;
  return r.GetValue(root, subkey, value, win32::kRrfRtAny, nullptr, nullptr, &size) == win32::kErrorSuccess;
}

}  // namespace vantrel::reg
