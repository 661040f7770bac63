// Which registry keys a pipe client may reach. The pipe is open to every
// local account while the service runs as SYSTEM or root, so its registry
// commands act only on the suite's part of the registry: keys at or below
// SOFTWARE\OEM in HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER. Portable.
#pragma once
#include <optional>
#include <string>

#include "common/registry.h"

namespace vantrel::hw {

enum class ScopeRule {
  kAtOrBelow,      // SOFTWARE\OEM itself or a key below it
  kStrictlyBelow,  // a key below SOFTWARE\OEM (deleting OEM itself would take other vendors' keys)
};

// The subkey as the registry will be asked for it: empty components (doubled,
// leading or trailing backslashes) dropped, the rest joined by one backslash.
// Nullopt when the key is outside the scope. "." and ".." components are
// refused outright: neither store treats them as steps up, but no key of the
// suite is named so and a check that had to agree with a store on their
// meaning is one mistake away from an escape.
std::optional<std::wstring> ScopedSubkey(const reg::KeyPath& key, ScopeRule rule);

// The key path as a log line may show it: control characters replaced, so a
// client cannot forge lines, and cut to a length a line can hold.
std::wstring PrintablePath(const std::wstring& path);

}  // namespace vantrel::hw
