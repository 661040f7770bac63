#include "hardware/model/ini_reader.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "common/text.h"

namespace vantrel::hw {
namespace {

constexpr size_t kMaxFileBytes = 16u << 20;  // far above any real INI file

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\v' || c == L'\f'; }

std::wstring Trim(std::wstring_view s) {
  size_t begin = 0;
  size_t end = s.size();
  while (begin < end && IsBlank(s[begin])) ++begin;
  while (end > begin && IsBlank(s[end - 1])) --end;
  return std::wstring(s.substr(begin, end - begin));
}

bool ValidUtf8(const std::vector<uint8_t>& b, size_t start) {
  for (size_t i = start; i < b.size();) {
    const uint8_t c = b[i];
    size_t extra = 0;
    if (c < 0x80) {
      ++i;
      continue;
    }
    if ((c & 0xE0) == 0xC0 && c >= 0xC2) {
      extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
    } else if ((c & 0xF8) == 0xF0 && c <= 0xF4) {
      extra = 3;
    } else {
      return false;
    }
    if (i + extra >= b.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((b[i + k] & 0xC0) != 0x80) return false;
    }
    i += extra + 1;
  }
  return true;
}

std::wstring Decode(const std::vector<uint8_t>& b) {
  if (b.size() >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
    std::wstring out;
    out.reserve(b.size() / 2);
    for (size_t i = 2; i + 1 < b.size(); i += 2) {
      const uint32_t unit = static_cast<uint32_t>(b[i]) | (static_cast<uint32_t>(b[i + 1]) << 8);
      if constexpr (sizeof(wchar_t) == 2) {
        out.push_back(static_cast<wchar_t>(unit));
      } else if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < b.size()) {
        const uint32_t low = static_cast<uint32_t>(b[i + 2]) | (static_cast<uint32_t>(b[i + 3]) << 8);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          out.push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
          i += 2;
        } else {
          out.push_back(static_cast<wchar_t>(unit));
        }
      } else {
        out.push_back(static_cast<wchar_t>(unit));
      }
    }
    return out;
  }
  const size_t start = (b.size() >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) ? 3 : 0;
  if (ValidUtf8(b, start)) {
    return text::FromUtf8(std::string_view(reinterpret_cast<const char*>(b.data()) + start, b.size() - start));
  }
  std::wstring out;
  out.reserve(b.size());
  for (size_t i = start; i < b.size(); ++i) out.push_back(static_cast<wchar_t>(b[i]));
  return out;
}

}  // namespace

IniFile IniFile::Parse(const std::vector<uint8_t>& bytes) {
  IniFile file;
  const std::wstring all = Decode(bytes);
  Section* current = nullptr;
  size_t pos = 0;
  while (pos <= all.size()) {
    size_t end = all.find(L'\n', pos);
    if (end == std::wstring::npos) end = all.size();
    std::wstring_view line(all.data() + pos, end - pos);
    if (!line.empty() && line.back() == L'\r') line.remove_suffix(1);
    pos = end + 1;

    const std::wstring trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() == L';') continue;
    if (trimmed.front() == L'[') {
      const size_t close = trimmed.find(L']');
      const std::wstring name =
          Trim(std::wstring_view(trimmed).substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1));
      current = nullptr;
      for (Section& s : file.sections_) {
        if (text::EqualsIgnoreCase(s.name, name)) current = &s;
      }
      if (current == nullptr) {
        file.sections_.push_back(Section{name, {}});
        current = &file.sections_.back();
      }
      continue;
    }
    if (current == nullptr) continue;
    const size_t eq = trimmed.find(L'=');
    Entry entry;
    if (eq == std::wstring::npos) {
      entry.key = trimmed;
    } else {
      entry.key = Trim(std::wstring_view(trimmed).substr(0, eq));
      entry.value = Trim(std::wstring_view(trimmed).substr(eq + 1));
      if (entry.value.size() >= 2 && (entry.value.front() == L'"' || entry.value.front() == L'\'') &&
          entry.value.back() == entry.value.front()) {
        entry.value = entry.value.substr(1, entry.value.size() - 2);
      }
    }
    current->entries.push_back(std::move(entry));
  }
  return file;
}

std::optional<IniFile> IniFile::Load(const std::wstring& path) {
  // UTF-8 path text reads the same way on both targets.
  const std::string utf8 = text::ToUtf8(path);
  std::ifstream in(std::filesystem::path(std::u8string(utf8.begin(), utf8.end())), std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<uint8_t> bytes;
  char chunk[4096];
  while (in.read(chunk, sizeof(chunk)) || in.gcount() > 0) {
    bytes.insert(bytes.end(), chunk, chunk + in.gcount());
    if (bytes.size() > kMaxFileBytes) return std::nullopt;
  }
  return Parse(bytes);
}

std::wstring IniFile::Get(const std::wstring& section, const std::wstring& key, const std::wstring& fallback,
                          size_t capacity) const {
  const std::wstring* found = &fallback;
  for (const Section& s : sections_) {
    if (!text::EqualsIgnoreCase(s.name, section)) continue;
    for (const Entry& e : s.entries) {
      if (text::EqualsIgnoreCase(e.key, key)) {
        found = &e.value;
        break;
      }
    }
    break;
  }
  if (capacity == 0) return std::wstring();
  return found->substr(0, capacity - 1);
}

std::wstring ReadIniText(const std::optional<IniFile>& file, const std::wstring& section, const std::wstring& key) {
  if (!file) return kIniAbsent;
  return file->Get(section, key, kIniAbsent);
}

}  // namespace vantrel::hw
