#include "common/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vantrel::text {
namespace {

// U+00E9, U+4E2D, U+1F600: one, two and four UTF-8 bytes beyond ASCII; the last
// is a surrogate pair in UTF-16, so both wchar_t widths are exercised.
const std::wstring kMixed = std::wstring(L"a\u00e9\u4e2d") + FromUtf8("\xF0\x9F\x98\x80") + L"z";

TEST(TextUtf8, RoundTripsEveryEncodingLength) {
  const std::string utf8 = "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z";
  EXPECT_EQ(ToUtf8(kMixed), utf8);
  EXPECT_EQ(FromUtf8(utf8), kMixed);
  EXPECT_EQ(ToUtf8(FromUtf8(utf8)), utf8);
}

TEST(TextUtf8, MalformedInputBecomesReplacementWithoutSwallowingText) {
  // Truncated sequence before ASCII, stray continuation byte, overlong "/",
  // encoded surrogate, and a sequence cut off by the end of input.
  const std::wstring got = FromUtf8("\xE4\xB8" "A" "\x80" "B" "\xC0\xAF" "C" "\xED\xA0\x80" "D" "\xF0\x9F");
  EXPECT_EQ(got.find(L'A'), 1u) << "the byte after a cut sequence must survive";
  EXPECT_NE(got.find(L'B'), std::wstring::npos);
  EXPECT_NE(got.find(L'C'), std::wstring::npos);
  EXPECT_NE(got.find(L'D'), std::wstring::npos);
  for (wchar_t c : got) {
    if (c != L'A' && c != L'B' && c != L'C' && c != L'D') {
      EXPECT_EQ(c, static_cast<wchar_t>(0xFFFD));
    }
  }
  EXPECT_EQ(got.back(), static_cast<wchar_t>(0xFFFD));
}

TEST(TextUtf16, EncodesWithNulAndSurrogatePairs) {
  const std::vector<uint8_t> bytes = ToUtf16LeZ(kMixed);
  const std::vector<uint8_t> expected = {0x61, 0x00, 0xE9, 0x00, 0x2D, 0x4E, 0x3D, 0xD8,
                                         0x00, 0xDE, 0x7A, 0x00, 0x00, 0x00};
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(FromUtf16LeZ(bytes), kMixed);
  EXPECT_EQ(ToUtf16LeZ(L""), (std::vector<uint8_t>{0, 0}));
}

TEST(TextUtf16, StrictDecodeRefusesWhatCouldOverread) {
  EXPECT_EQ(FromUtf16LeZ(std::vector<uint8_t>{0x41, 0x00, 0x42, 0x00}), std::nullopt) << "no NUL";
  EXPECT_EQ(FromUtf16LeZ(std::vector<uint8_t>{0x41, 0x00, 0x00, 0x00, 0x00}), std::nullopt) << "odd length";
  EXPECT_EQ(FromUtf16LeZ(std::vector<uint8_t>{}), std::nullopt);
  // A NUL split across unit boundaries is not a NUL unit.
  EXPECT_EQ(FromUtf16LeZ(std::vector<uint8_t>{0x00, 0x41, 0x00, 0x00}), std::wstring(1, static_cast<wchar_t>(0x4100)));
  // Text after the first NUL is not part of the string.
  EXPECT_EQ(FromUtf16LeZ(std::vector<uint8_t>{0x41, 0x00, 0x00, 0x00, 0x42, 0x00, 0x00, 0x00}), L"A");
}

TEST(TextUtf16, LenientDecodeStopsAtEndOrNul) {
  EXPECT_EQ(FromUtf16LeLenient(std::vector<uint8_t>{0x41, 0x00, 0x42, 0x00, 0x43}), L"AB");
  EXPECT_EQ(FromUtf16LeLenient(std::vector<uint8_t>{0x41, 0x00, 0x00, 0x00, 0x42, 0x00}), L"A");
  EXPECT_EQ(FromUtf16LeLenient(std::vector<uint8_t>{0x41}), L"");
}

TEST(TextCase, FoldsAsciiAndCommonScriptsOnly) {
  EXPECT_TRUE(EqualsIgnoreCase(L"HKEY_Local_Machine", L"hkey_local_machine"));
  EXPECT_TRUE(EqualsIgnoreCase(L"\u00c9T\u00c9", L"\u00e9t\u00e9"));
  EXPECT_TRUE(EqualsIgnoreCase(L"\u0416\u0401", L"\u0436\u0451"));
  EXPECT_FALSE(EqualsIgnoreCase(L"abc", L"abd"));
  EXPECT_FALSE(EqualsIgnoreCase(L"abc", L"abcd"));
  // '[' and '{' differ by 0x20 like letters do but are not a case pair; nor are
  // the multiplication and division signs.
  EXPECT_FALSE(EqualsIgnoreCase(L"[", L"{"));
  EXPECT_FALSE(EqualsIgnoreCase(L"\u00d7", L"\u00f7"));
  EXPECT_EQ(ToLower(L"Software\\OEM\\X1"), L"software\\oem\\x1");
}

TEST(TextFormat, FormatsWideAndNumbersBeyondTheFirstBuffer) {
  EXPECT_EQ(Format(L"Connected device : %d", 3), L"Connected device : 3");
  EXPECT_EQ(Format(L"%ls=%u/%04x", L"name", 7u, 0xAB), L"name=7/00ab");
  const std::wstring longer(5000, L'x');
  EXPECT_EQ(Format(L"<%ls>", longer.c_str()), L"<" + longer + L">");
}

}  // namespace
}  // namespace vantrel::text
