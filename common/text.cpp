#include "common/text.h"

#include <cstdarg>
#include <cwchar>

namespace vantrel::text {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// wchar_t holds UTF-16 code units on Windows and whole code points on Linux.
constexpr bool kWide16 = sizeof(wchar_t) == 2;

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }
bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Walks a wide string as code points. Unpaired surrogates (and, on Linux,
// values that are no code point at all) come out as U+FFFD.
template <typename F>
void ForEachCodePoint(std::wstring_view wide, F&& emit) {
  for (size_t i = 0; i < wide.size(); ++i) {
    char32_t c = static_cast<char32_t>(wide[i]);
    if constexpr (kWide16) {
      c &= 0xFFFF;
      if (IsHighSurrogate(c) && i + 1 < wide.size()) {
        char32_t lo = static_cast<char32_t>(wide[i + 1]) & 0xFFFF;
        if (IsLowSurrogate(lo)) {
          emit(0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00));
          ++i;
          continue;
        }
      }
    }
    if (IsSurrogate(c) || c > 0x10FFFF) c = kReplacement;
    emit(c);
  }
}

void AppendWide(std::wstring& out, char32_t c) {
  if constexpr (kWide16) {
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<wchar_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<wchar_t>(0xDC00 + (c & 0x3FF)));
      return;
    }
  }
  out.push_back(static_cast<wchar_t>(c));
}

// Simple case folding covering the scripts a registry path or a pipe name is
// realistically written in (ASCII, Latin-1, Latin Extended-A, Greek, Cyrillic).
// Implemented here rather than through towlower so both targets fold alike and
// no locale is involved.
char32_t FoldChar(char32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 0x20 : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;
  if (c >= 0x100 && c <= 0x137) return c | 1;
  if (c >= 0x139 && c <= 0x148) return (c & 1) ? c + 1 : c;
  if (c >= 0x14A && c <= 0x177) return c | 1;
  if (c == 0x178) return 0xFF;
  if (c >= 0x179 && c <= 0x17E) return (c & 1) ? c + 1 : c;
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 0x20;
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  if (c >= 0x410 && c <= 0x42F) return c + 0x20;
  return c;
}

}  // namespace

std::string ToUtf8(std::wstring_view wide) {
  std::string out;
  out.reserve(wide.size());
  ForEachCodePoint(wide, [&out](char32_t c) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  });
  return out;
}

std::wstring FromUtf8(std::string_view utf8) {
  std::wstring out;
  out.reserve(utf8.size());
  size_t i = 0;
  const size_t n = utf8.size();
  while (i < n) {
    const uint8_t b = static_cast<uint8_t>(utf8[i]);
    size_t len;
    char32_t c;
    char32_t min;
    if (b < 0x80) {
      out.push_back(static_cast<wchar_t>(b));
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      len = 2, c = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3, c = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4, c = b & 0x07, min = 0x10000;
    } else {
      AppendWide(out, kReplacement);
      ++i;
      continue;
    }
    // A malformed sequence yields one U+FFFD for its lead byte; decoding
    // resumes at the first byte that is not a valid continuation.
    size_t k = 1;
    for (; k < len && i + k < n; ++k) {
      const uint8_t cb = static_cast<uint8_t>(utf8[i + k]);
      if ((cb & 0xC0) != 0x80) break;
      c = (c << 6) | (cb & 0x3F);
    }
    if (k < len || c < min || c > 0x10FFFF || IsSurrogate(c)) {
      AppendWide(out, kReplacement);
      i += k;
      continue;
    }
    AppendWide(out, c);
    i += len;
  }
  return out;
}

std::vector<uint8_t> ToUtf16LeZ(std::wstring_view wide) {
  std::vector<uint8_t> out;
  out.reserve((wide.size() + 1) * 2);
  auto unit = [&out](uint32_t u) {
    out.push_back(static_cast<uint8_t>(u & 0xFF));
    out.push_back(static_cast<uint8_t>((u >> 8) & 0xFF));
  };
  if constexpr (kWide16) {
    // Code units pass unchanged, so whatever Windows holds goes out as is.
    for (wchar_t w : wide) unit(static_cast<uint32_t>(w) & 0xFFFF);
  } else {
    ForEachCodePoint(wide, [&unit](char32_t c) {
      if (c >= 0x10000) {
        c -= 0x10000;
        unit(0xD800 + (c >> 10));
        unit(0xDC00 + (c & 0x3FF));
      } else {
        unit(c);
      }
    });
  }
  unit(0);
  return out;
}

namespace {

std::wstring DecodeUtf16Le(std::span<const uint8_t> bytes, size_t units) {
  std::wstring out;
  out.reserve(units);
  for (size_t i = 0; i < units; ++i) {
    char32_t u = static_cast<char32_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    if constexpr (!kWide16) {
      if (IsHighSurrogate(u) && i + 1 < units) {
        char32_t lo = static_cast<char32_t>(bytes[2 * i + 2] | (bytes[2 * i + 3] << 8));
        if (IsLowSurrogate(lo)) {
          out.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00)));
          ++i;
          continue;
        }
      }
      if (IsSurrogate(u)) u = kReplacement;
    }
    out.push_back(static_cast<wchar_t>(u));
  }
  return out;
}

// Number of UTF-16 units before the first NUL unit, or `units` when there is none.
size_t UnitsBeforeNul(std::span<const uint8_t> bytes, size_t units) {
  for (size_t i = 0; i < units; ++i) {
    if (bytes[2 * i] == 0 && bytes[2 * i + 1] == 0) return i;
  }
  return units;
}

}  // namespace

std::optional<std::wstring> FromUtf16LeZ(std::span<const uint8_t> bytes) {
  if (bytes.size() % 2 != 0) return std::nullopt;
  const size_t units = bytes.size() / 2;
  const size_t len = UnitsBeforeNul(bytes, units);
  if (len == units) return std::nullopt;
  return DecodeUtf16Le(bytes, len);
}

std::wstring FromUtf16LeLenient(std::span<const uint8_t> bytes) {
  const size_t units = bytes.size() / 2;
  return DecodeUtf16Le(bytes, UnitsBeforeNul(bytes, units));
}

bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] == b[i]) continue;
    if (FoldChar(static_cast<char32_t>(a[i])) != FoldChar(static_cast<char32_t>(b[i]))) return false;
  }
  return true;
}

std::wstring ToLower(std::wstring_view s) {
  std::wstring out;
  out.reserve(s.size());
  for (wchar_t c : s) out.push_back(static_cast<wchar_t>(FoldChar(static_cast<char32_t>(c))));
  return out;
}

// Use %ls for wide string arguments: it means the same with glibc and with
// MinGW's C99 printf, while a bare %s does not.
std::wstring Format(const wchar_t* fmt, ...) {
  // glibc's vswprintf reports a too-small buffer and an encoding failure the
  // same way (-1), so the buffer grows only up to a bound.
  constexpr size_t kMaxChars = size_t{1} << 20;
  std::wstring out(256, L'\0');
  while (true) {
    va_list args;
    va_start(args, fmt);
    const int n = std::vswprintf(out.data(), out.size(), fmt, args);
    va_end(args);
    if (n >= 0 && static_cast<size_t>(n) < out.size()) {
      out.resize(static_cast<size_t>(n));
      return out;
    }
    if (out.size() >= kMaxChars) {
      out.resize(std::wcslen(out.c_str()));
      return out;
    }
    out.resize(out.size() * 4);
  }
}

}  // namespace vantrel::text
