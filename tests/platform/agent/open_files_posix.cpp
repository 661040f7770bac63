// Files kept open between reports: every read sees the current contents,
// a removed or replaced file is opened again by name, and files no longer
// read are closed.
#include "agent/metrics/open_files_posix.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/support/test_env.h"

namespace fs = std::filesystem;
using vantrel::agent::OpenFiles;
using vantrel::agent::ParseLeadingNumber;

namespace {

size_t OpenDescriptors() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

void Write(const fs::path& p, const std::string& text) { std::ofstream(p) << text; }

TEST(OpenFiles, ReadsFollowTheFileAndItsName) {
  vantrel::testing::ScopedTestEnv env;
  const fs::path dir = fs::temp_directory_path() / vantrel::testing::UniqueName(L"vt_open_files_");
  fs::create_directories(dir);
  const std::string stat = (dir / "stat").string();
  const std::string number = (dir / "rx_bytes").string();
  Write(stat, "first\n");
  Write(number, "1280000\n");

  OpenFiles files;
  EXPECT_EQ(files.Read(stat), "first\n");
  EXPECT_EQ(files.ReadNumber(number), 1280000u);
  // Rewritten in place: the kept descriptor sees the new contents, also longer
  // than the first read buffer.
  const std::string big(10000, 'x');
  Write(stat, big);
  EXPECT_EQ(files.Read(stat), big);
  // Replaced under its name, then removed.
  fs::remove(stat);
  Write(stat, "second\n");
  EXPECT_EQ(files.Read(stat), "second\n");
  fs::remove(stat);
  EXPECT_EQ(files.Read(stat), std::nullopt);
  EXPECT_EQ(files.Read((dir / "missing").string()), std::nullopt);

  // Kernel files are read again from the start, with fresh contents.
  auto a = files.Read("/proc/self/stat");
  auto b = files.Read("/proc/self/stat");
  ASSERT_TRUE(a && b);
  EXPECT_FALSE(a->empty());

  // A seq_file larger than its page hands out a page or so per read: the
  // whole file still arrives, and again on the next read.
  std::ifstream crypto("/proc/crypto");
  if (crypto) {
    const std::string whole((std::istreambuf_iterator<char>(crypto)), std::istreambuf_iterator<char>());
    EXPECT_EQ(files.Read("/proc/crypto"), whole);
    EXPECT_EQ(files.Read("/proc/crypto"), whole);
  }

  // Files not read since the last sweep are closed.
  const size_t before = OpenDescriptors();
  files.CloseUnused();  // everything was read in this round: all stay open
  EXPECT_EQ(OpenDescriptors(), before);
  files.CloseUnused();  // nothing read since: all closed
  EXPECT_EQ(OpenDescriptors(), before - (crypto ? 3 : 2));  // rx_bytes, /proc/self/stat, /proc/crypto
  fs::remove_all(dir);
}

TEST(OpenFiles, LeadingNumbers) {
  EXPECT_EQ(ParseLeadingNumber("2400000\n"), 2400000u);
  EXPECT_EQ(ParseLeadingNumber("  42 kB"), 42u);
  EXPECT_EQ(ParseLeadingNumber("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(ParseLeadingNumber("18446744073709551616"), std::nullopt);  // overflow
  EXPECT_EQ(ParseLeadingNumber("-1"), std::nullopt);
  EXPECT_EQ(ParseLeadingNumber(""), std::nullopt);
  EXPECT_EQ(ParseLeadingNumber("up\n"), std::nullopt);
}

}  // namespace
