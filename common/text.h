// Text conversions between the wide strings the programs use, UTF-8 and the
// UTF-16LE byte strings that travel in pipe messages. Portable.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::text {

std::string ToUtf8(std::wstring_view wide);
std::wstring FromUtf8(std::string_view utf8);

// Encodes with a terminating NUL (the pipe convention: NUL counted in the length).
std::vector<uint8_t> ToUtf16LeZ(std::wstring_view wide);
// Decodes a UTF-16LE byte string up to its first NUL. Odd lengths and strings
// without a NUL are refused (nullopt) so nothing is read past the bytes given.
std::optional<std::wstring> FromUtf16LeZ(std::span<const uint8_t> bytes);
// Lenient form for display: decodes up to the first NUL or the end, ignoring an odd last byte.
std::wstring FromUtf16LeLenient(std::span<const uint8_t> bytes);

bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b);
std::wstring ToLower(std::wstring_view s);

// printf-style formatting into a wide string (for log messages).
std::wstring Format(const wchar_t* fmt, ...);

}  // namespace vantrel::text
