// The INI reader's lookup rules, as GetPrivateProfileStringW applies them.
#include "hardware/model/ini_reader.h"
#include "hardware/platform_config.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using vantrel::hw::IniFile;

IniFile ParseText(const std::string& s) { return IniFile::Parse(std::vector<uint8_t>(s.begin(), s.end())); }

TEST(IniReader, SectionsAndKeysIgnoreCaseAndBlanks) {
  const IniFile f = ParseText(
      "; comment\r\n"
      "stray=before any section\r\n"
      "[ oc_gpu ]\r\n"
      "  count =  2  \r\n"
      "GPUName1=\"  quoted  \"\r\n"
      "GPUName2='DEV_2560'\n"
      "   ; indented comment\n"
      "NoEquals\n"
      "Empty=\n"
      "Semi=a;b\n"
      "[Other]\n"
      "Count=9\n");
  EXPECT_EQ(f.Get(L"OC_GPU", L"COUNT", L"NULL"), L"2");
  EXPECT_EQ(f.Get(L"OC_GPU", L"GPUName1", L"NULL"), L"  quoted  ");
  EXPECT_EQ(f.Get(L"OC_GPU", L"gpuname2", L"NULL"), L"DEV_2560");
  EXPECT_EQ(f.Get(L"OC_GPU", L"NoEquals", L"NULL"), L"");
  EXPECT_EQ(f.Get(L"OC_GPU", L"Empty", L"NULL"), L"");
  EXPECT_EQ(f.Get(L"OC_GPU", L"Semi", L"NULL"), L"a;b");  // only whole-line comments
  EXPECT_EQ(f.Get(L"OC_GPU", L"stray", L"NULL"), L"NULL");
  EXPECT_EQ(f.Get(L"OC_GPU", L"; comment", L"NULL"), L"NULL");
  EXPECT_EQ(f.Get(L"Other", L"Count", L"NULL"), L"9");
  EXPECT_EQ(f.Get(L"Missing", L"Count", L"NULL"), L"NULL");
}

TEST(IniReader, FirstSectionAndFirstKeyWin) {
  const IniFile f = ParseText("[A]\nk=1\nk=2\n[B]\nk=3\n[a]\nk=4\nj=5\n");
  EXPECT_EQ(f.Get(L"A", L"k", L"NULL"), L"1");
  // A repeated section continues the first one.
  EXPECT_EQ(f.Get(L"A", L"j", L"NULL"), L"5");
  EXPECT_EQ(f.Get(L"B", L"k", L"NULL"), L"3");
}

TEST(IniReader, ValuesAreCutLikeACallersBuffer) {
  const IniFile f = ParseText("[S]\nk=abcdef\n");
  EXPECT_EQ(f.Get(L"S", L"k", L"NULL", 4), L"abc");
  EXPECT_EQ(f.Get(L"S", L"k", L"NULL", 1), L"");
  EXPECT_EQ(f.Get(L"S", L"k", L"NULL", 0), L"");
  EXPECT_EQ(f.Get(L"S", L"x", L"NULL", 3), L"NU");
  // A very long value never overruns: it is cut at the default capacity.
  const IniFile big = ParseText("[S]\nk=" + std::string(5000, 'x') + "\n");
  EXPECT_EQ(big.Get(L"S", L"k", L"NULL").size(), IniFile::kDefaultCapacity - 1);
}

TEST(IniReader, Encodings) {
  // UTF-16LE with a byte-order mark.
  std::vector<uint8_t> utf16 = {0xFF, 0xFE};
  for (char c : std::string("[S]\r\nk=v\u00e9")) {
    utf16.push_back(static_cast<uint8_t>(c));
    utf16.push_back(0);
  }
  EXPECT_EQ(IniFile::Parse(utf16).Get(L"S", L"k", L"NULL"), L"v\u00c3\u00a9");  // bytes of the UTF-8 literal, widened
  // UTF-8 with a BOM, and Latin-1 bytes that are not UTF-8.
  const std::string bom = "\xEF\xBB\xBF[S]\nk=caf\xC3\xA9\n";
  EXPECT_EQ(IniFile::Parse(std::vector<uint8_t>(bom.begin(), bom.end())).Get(L"s", L"K", L"NULL"), L"caf\u00e9");
  const std::string latin = "[S]\nk=caf\xE9\n";
  EXPECT_EQ(IniFile::Parse(std::vector<uint8_t>(latin.begin(), latin.end())).Get(L"S", L"k", L"NULL"), L"caf\u00e9");
  // Damaged input: an odd UTF-16 length and binary noise parse without harm.
  std::vector<uint8_t> odd = {0xFF, 0xFE, '[', 0, 'S', 0, ']', 0, '\n'};
  EXPECT_EQ(IniFile::Parse(odd).Get(L"S", L"k", L"NULL"), L"NULL");
  std::vector<uint8_t> noise;
  for (int i = 0; i < 4096; ++i) noise.push_back(static_cast<uint8_t>(i * 37 + 11));
  EXPECT_EQ(IniFile::Parse(noise).Get(L"OC_GPU", L"Count", L"NULL"), L"NULL");
}

TEST(IniReader, MissingFileGivesTheDefault) {
  const auto f = IniFile::Load(L"no-such-dir-vantrel/none.ini");
  EXPECT_FALSE(f.has_value());
  EXPECT_EQ(vantrel::hw::ReadIniText(f, L"OC_GPU", L"Count"), L"NULL");
}

// The platform file's settings: backend names without case (unknown ones are
// "none"), only an absolute programs folder.
TEST(IniReader, PlatformConfiguration) {
  using vantrel::hw::FirmwareBackend;
  struct Case {
    const char* text;
    FirmwareBackend backend;
    const char* folder;
  };
  const Case cases[] = {
      {"", FirmwareBackend::kNone, ""},
      {"[Platform]\nFirmwareBackend=sim\n", FirmwareBackend::kSim, ""},
      {"[Platform]\nFirmwareBackend=Linux\n", FirmwareBackend::kLinux, ""},
      {"[platform]\nfirmwarebackend = HwMon\nProgramsFolder=/usr/lib/vr\n", FirmwareBackend::kHwmon, "/usr/lib/vr"},
      {"[Platform]\nFirmwareBackend=simulator\nProgramsFolder=relative/dir\n", FirmwareBackend::kNone, ""},
      {"[Other]\nFirmwareBackend=sim\n[Platform]\nProgramsFolder=\"/opt/with space\"\n", FirmwareBackend::kNone,
       "/opt/with space"},
  };
  for (const Case& c : cases) {
    const std::string text = c.text;
    const auto config = vantrel::hw::ParsePlatformConfig(IniFile::Parse(std::vector<uint8_t>(text.begin(), text.end())));
    EXPECT_EQ(config.firmware_backend, c.backend) << c.text;
    EXPECT_EQ(config.programs_folder, c.folder) << c.text;
  }
}

}  // namespace
