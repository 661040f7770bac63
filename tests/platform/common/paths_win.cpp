// Windows folders and folder creation.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "common/paths.h"
#include "common/text.h"
#include "tests/support/test_env.h"

namespace vantrel {
namespace {

TEST(PathsWin, ProgramDataComesFromTheEnvironment) {
  testing::ScopedEnvVar pd("PROGRAMDATA", "C:\\VantrelPD");
  EXPECT_EQ(paths::ProgramData(), L"C:\\VantrelPD");
  EXPECT_EQ(paths::MapWindowsPath(L"C:\\ProgramData\\oem\\x"), L"C:\\ProgramData\\oem\\x");
}

TEST(PathsWin, MakeDirsCreatesEveryLevelAndReportsBlockers) {
  testing::ScopedTestEnv env;
  const std::filesystem::path root(env.root());
  const std::wstring deep = (root / "a" / "b" / "c").wstring();
  EXPECT_TRUE(paths::MakeDirs(deep));
  EXPECT_TRUE(std::filesystem::is_directory(deep));
  EXPECT_TRUE(paths::MakeDirs(deep + L"\\"));
  std::ofstream(root / "file") << "x";
  EXPECT_FALSE(paths::MakeDirs((root / "file").wstring()));
  EXPECT_FALSE(paths::MakeDirs((root / "file" / "sub").wstring()));
}

TEST(PathsWin, ExecutableDirHoldsThisTest) {
  const std::filesystem::path dir(paths::ExecutableDir());
  EXPECT_TRUE(std::filesystem::exists(dir / "platform_common_paths.exe"));
  // Under ctest the test support finds the same binary by name.
  if (std::getenv("VANTREL_TEST_BIN_DIR") != nullptr) {
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(testing::ProgramPath(L"platform_common_paths"))));
  }
}

}  // namespace
}  // namespace vantrel
