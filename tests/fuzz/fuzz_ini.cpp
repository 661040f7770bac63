// The INI reader. Files written from chosen sections, keys and values (UTF-8
// or UTF-16LE, LF or CRLF, comments, quotes, blanks, repeated names) must read
// back by the lookup rules; any bytes must parse and answer within the
// caller's capacity.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "hardware/model/ini_reader.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace hw = vantrel::hw;

std::string Pick(FuzzedDataProvider& in, const char* alphabet, size_t max) {
  const std::string raw = in.ConsumeRandomLengthString(max);
  const size_t n = std::char_traits<char>::length(alphabet);
  std::string out;
  for (char c : raw) out += alphabet[static_cast<unsigned char>(c) % n];
  return out;
}

std::string Lower(std::string s) {
  for (char& c : s) if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

struct Entry {
  std::string section, key, value;  // section and key lower-case
};

void CheckWritten(FuzzedDataProvider& in) {
  static constexpr char kName[] = "abcXYZ019_";
  static constexpr char kValue[] = "abAB09 ._-\t";
  const char* eol = in.ConsumeBool() ? "\r\n" : "\n";
  std::string text = in.ConsumeBool() ? "; comment\norphan=before any section\n" : "";
  std::vector<Entry> entries;
  std::string section;
  while (in.remaining_bytes() > 0 && entries.size() < 40) {
    if (section.empty() || in.ConsumeProbability<float>() < 0.2f) {
      section = Pick(in, kName, 6);
      if (section.empty()) section = "s";
      text += std::string(in.ConsumeIntegralInRange(0, 2), ' ') + "[ " + section + " ]" + eol;
      section = Lower(section);
      continue;
    }
    std::string key = Pick(in, kName, 6);
    if (key.empty()) key = "k";
    std::string value = Pick(in, kValue, 24);
    const std::string shown = value;
    const int quote = in.ConsumeIntegralInRange(0, 2);
    if (quote == 1) value = "\"" + value + "\"";
    if (quote == 2) value = "'" + value + "'";
    text += " " + key + " \t= " + value + "  " + eol;
    if (in.ConsumeBool()) text += std::string("  ;x=y") + eol;
    // Blanks around an unquoted value go; inside quotes they stay.
    std::string expected = shown;
    if (quote == 0) {
      const size_t b = expected.find_first_not_of(" \t");
      expected = b == std::string::npos ? "" : expected.substr(b, expected.find_last_not_of(" \t") - b + 1);
    }
    entries.push_back({section, Lower(key), expected});
  }

  std::vector<uint8_t> bytes;
  if (in.ConsumeBool()) {
    bytes = {0xFF, 0xFE};
    for (char c : text) bytes.insert(bytes.end(), {static_cast<uint8_t>(c), 0});
  } else {
    bytes.assign(text.begin(), text.end());
  }
  const hw::IniFile file = hw::IniFile::Parse(bytes);

  for (const Entry& e : entries) {
    // The first entry of the name in the section wins, however many blocks the section has.
    const Entry* first = nullptr;
    for (const Entry& f : entries) {
      if (f.section == e.section && f.key == e.key) { first = &f; break; }
    }
    std::string upper_key = e.key;
    for (char& c : upper_key) if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    FUZZ_CHECK(file.Get(Wide(e.section), Wide(upper_key), L"NULL") == Wide(first->value));
    const size_t cap = first->value.size();
    FUZZ_CHECK(file.Get(Wide(e.section), Wide(e.key), L"NULL", cap) == Wide(first->value.substr(0, cap ? cap - 1 : 0)));
  }
  FUZZ_CHECK(file.Get(L"no such section!", L"k", L"NULL") == L"NULL");
  FUZZ_CHECK(hw::ReadIniText(std::nullopt, L"s", L"k") == hw::kIniAbsent);
}

void CheckRaw(const std::vector<uint8_t>& bytes, size_t capacity) {
  const hw::IniFile file = hw::IniFile::Parse(bytes);
  for (const wchar_t* section : {L"OC_GPU", L"Platform", L"", L"s"}) {
    for (const wchar_t* key : {L"Count", L"FirmwareBackend", L"", L"k"}) {
      const std::wstring got = file.Get(section, key, L"fallback", capacity);
      FUZZ_CHECK(got.size() < std::max<size_t>(capacity, 1));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  if (data[0] & 1) {
    FuzzedDataProvider in(data + 1, size - 1);
    CheckWritten(in);
  } else {
    CheckRaw(std::vector<uint8_t>(data + 1, data + size), data[0] >> 1);
  }
  return 0;
}
