#include "common/smbios.h"

namespace vantrel::smbios {
namespace {

constexpr size_t kHeaderLength = 4;  // type, length, handle

}  // namespace

bool Walk(std::span<const uint8_t> table, const std::function<bool(std::span<const uint8_t>)>& visit) {
  size_t pos = 0;
  while (pos + kHeaderLength <= table.size()) {
    const uint8_t type = table[pos];
    const size_t length = table[pos + 1];
    // A length below the header cannot be walked past reliably: the rest is garbage.
    if (length < kHeaderLength || pos + length > table.size()) return false;
    if (visit(table.subspan(pos, length))) return true;
    if (type == kEndOfTable) return false;
    // The string set ends with two zero bytes; with no strings it is just "\0\0".
    size_t s = pos + length;
    while (s + 1 < table.size() && !(table[s] == 0 && table[s + 1] == 0)) ++s;
    if (s + 1 >= table.size()) return false;
    pos = s + 2;
  }
  return false;
}

std::optional<std::span<const uint8_t>> FindStructure(std::span<const uint8_t> table, uint8_t type) {
  std::optional<std::span<const uint8_t>> found;
  Walk(table, [&](std::span<const uint8_t> s) {
    if (s[0] != type) return false;
    found = s;
    return true;
  });
  return found;
}

}  // namespace vantrel::smbios
