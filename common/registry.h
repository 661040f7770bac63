// The registry as the programs use it: keys under five roots, typed values,
// Win32 error codes as results. Windows: the Reg* API in the 64-bit view.
// Linux: a SQLite store (registry.db in the state dir) with the same semantics.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::reg {

enum class Root : uint8_t { kLocalMachine, kCurrentUser, kCurrentConfig, kClassesRoot, kUsers };

// "HKEY_LOCAL_MACHINE" etc., compared case-insensitively and in full.
std::optional<Root> ParseRootName(std::wstring_view name);
const wchar_t* RootName(Root root);

struct KeyPath {
  Root root;
  std::wstring subkey;  // empty means the root itself
};
// Splits "ROOT\sub\key" at the first backslash; nullopt when the root is unknown.
std::optional<KeyPath> ParseKeyPath(std::wstring_view path);

class Registry {
 public:
  virtual ~Registry() = default;

  // Creates (or opens) the key with full access and closes it (RegCreateKeyExW).
  virtual uint32_t CreateKey(Root root, const std::wstring& subkey) = 0;
  // Succeeds when the key exists and can be opened for reading (RegOpenKeyExW, KEY_READ).
  virtual uint32_t OpenKey(Root root, const std::wstring& subkey) = 0;
  // RegGetValueW: `flags` is an RRF_RT_* restriction mask (plus RRF_NOEXPAND /
  // RRF_ZEROONFAILURE). `data` may be null to probe; `*size` is in and out.
  // A buffer that is too small gives ERROR_MORE_DATA with the needed size.
  // A type outside the mask gives ERROR_UNSUPPORTED_TYPE.
  virtual uint32_t GetValue(Root root, const std::wstring& subkey, const std::wstring& value,
                            uint32_t flags, uint32_t* type, void* data, uint32_t* size) = 0;
  // RegSetKeyValueW: creates the key when missing.
  virtual uint32_t SetValue(Root root, const std::wstring& subkey, const std::wstring& value,
                            uint32_t type, const void* data, uint32_t size) = 0;
  // RegDeleteKeyValueW.
  virtual uint32_t DeleteValue(Root root, const std::wstring& subkey, const std::wstring& value) = 0;
  // RegDeleteTreeW: the key's values and subkeys and the key itself (an empty
  // subkey empties the root's contents, as RegDeleteTreeW on a root does).
  virtual uint32_t DeleteTree(Root root, const std::wstring& subkey) = 0;
};

// The machine's registry (process-wide, thread-safe).
Registry& SystemRegistry();
// Replaces what SystemRegistry() returns (tests and fakes); null restores the real one.
void SetSystemRegistryForTesting(Registry* registry);

// Convenience readers on top of GetValue; nullopt when missing or of another type.
std::optional<uint32_t> ReadDword(Registry& r, Root root, const std::wstring& subkey, const std::wstring& value);
std::optional<std::wstring> ReadString(Registry& r, Root root, const std::wstring& subkey, const std::wstring& value);
uint32_t WriteDword(Registry& r, Root root, const std::wstring& subkey, const std::wstring& value, uint32_t data);
uint32_t WriteString(Registry& r, Root root, const std::wstring& subkey, const std::wstring& value,
                     const std::wstring& data);
bool ValueExists(Registry& r, Root root, const std::wstring& subkey, const std::wstring& value);

// The suite's own key and subkeys.
inline constexpr wchar_t kSuiteKey[] = L"SOFTWARE\\OEM\\VantrelSysMonitorService";
inline constexpr wchar_t kLogKey[] = L"SOFTWARE\\OEM\\VantrelSysMonitorService\\Log";
inline constexpr wchar_t kFanControlKey[] = L"SOFTWARE\\OEM\\VantrelSysMonitorService\\FanControl";
inline constexpr wchar_t kOverclockKey[] = L"SOFTWARE\\OEM\\VantrelSysMonitorService\\Overclock";
inline constexpr wchar_t kPlatformKey[] = L"SOFTWARE\\OEM\\VantrelSysMonitorService\\Platform";

}  // namespace vantrel::reg
