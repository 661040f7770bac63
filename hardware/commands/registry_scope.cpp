#include "hardware/commands/registry_scope.h"

#include <vector>

namespace vantrel::hw {
namespace {

// ASCII-only folding: a name is accepted only when it is the plain ASCII
// spelling, which every store reads the same way. Look-alikes that a store
// might fold differently are refused, never accepted.
bool AsciiEqualsIgnoreCase(const std::wstring& a, const wchar_t* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != L'\0'; ++i) {
    wchar_t x = a[i];
    wchar_t y = b[i];
    if (x >= L'a' && x <= L'z') x = static_cast<wchar_t>(x - L'a' + L'A');
    if (y >= L'a' && y <= L'z') y = static_cast<wchar_t>(y - L'a' + L'A');
    if (x != y) return false;
  }
  return i == a.size() && b[i] == L'\0';
}

std::vector<std::wstring> Components(const std::wstring& subkey) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  while (start <= subkey.size()) {
    size_t end = subkey.find(L'\\', start);
    if (end == std::wstring::npos) end = subkey.size();
    if (end > start) parts.push_back(subkey.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

}  // namespace

std::optional<std::wstring> ScopedSubkey(const reg::KeyPath& key, ScopeRule rule) {
  if (key.root != reg::Root::kLocalMachine && key.root != reg::Root::kCurrentUser) return std::nullopt;
  // Stores read names up to their first NUL; the check must see what they see.
  const std::wstring subkey = key.subkey.substr(0, key.subkey.find(L'\0'));
  const std::vector<std::wstring> parts = Components(subkey);
  const size_t minimum = rule == ScopeRule::kStrictlyBelow ? 3 : 2;
  if (parts.size() < minimum) return std::nullopt;
  if (!AsciiEqualsIgnoreCase(parts[0], L"SOFTWARE") || !AsciiEqualsIgnoreCase(parts[1], L"OEM")) {
    return std::nullopt;
  }
  std::wstring joined;
  for (const std::wstring& part : parts) {
    if (part == L"." || part == L"..") return std::nullopt;
    if (!joined.empty()) joined += L'\\';
    joined += part;
  }
  return joined;
}

std::wstring PrintablePath(const std::wstring& path) {
  constexpr size_t kMaxShown = 300;
  std::wstring out;
  for (wchar_t c : path.substr(0, kMaxShown)) out.push_back(c < 0x20 || c == 0x7F ? L'?' : c);
  if (path.size() > kMaxShown) out += L"...";
  return out;
}

}  // namespace vantrel::hw
