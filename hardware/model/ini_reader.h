// A reader of INI files with the lookup rules of GetPrivateProfileStringW, so
// the overclock file reads the same on both targets. Portable.
//
// Rules: lines end at "\n" (a "\r" before it is dropped); a line whose first
// non-blank character is ';' is a comment; "[name]" opens a section (the text
// up to the first ']' with blanks around it trimmed); "key=value" is an entry
// (key and value trimmed of blanks; one pair of matching quotes around the
// whole value is removed). Section and key names compare case-insensitively;
// the first section of a name and the first key of a name inside it win. A
// line inside a section without '=' is a key with an empty value; lines
// before the first section are ignored.
//
// Files are UTF-16LE with a byte-order mark, or else UTF-8 (a BOM is skipped;
// bytes that are not UTF-8 are taken as Latin-1, as the ANSI code page would).
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::hw {

class IniFile {
 public:
  static IniFile Parse(const std::vector<uint8_t>& bytes);
  // Null when the file cannot be read (a missing file reads like an empty one
  // to callers that use the default text).
  static std::optional<IniFile> Load(const std::wstring& path);

  // The entry's value, or `fallback` when the section or key is missing. Like
  // a caller's buffer of `capacity` characters, the result is cut to
  // capacity - 1 characters (0 gives an empty text).
  std::wstring Get(const std::wstring& section, const std::wstring& key, const std::wstring& fallback,
                   size_t capacity = kDefaultCapacity) const;

  static constexpr size_t kDefaultCapacity = 260;

 private:
  struct Entry {
    std::wstring key;
    std::wstring value;
  };
  struct Section {
    std::wstring name;
    std::vector<Entry> entries;
  };
  std::vector<Section> sections_;
};

// The INI lookup as the overclock search uses it: default text "NULL".
inline constexpr wchar_t kIniAbsent[] = L"NULL";
std::wstring ReadIniText(const std::optional<IniFile>& file, const std::wstring& section, const std::wstring& key);

}  // namespace vantrel::hw
