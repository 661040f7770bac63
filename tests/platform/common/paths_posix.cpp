// Linux folder selection and folder creation.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "common/paths.h"
#include "common/text.h"
#include "tests/support/test_env.h"

namespace vantrel {
namespace {

using testing::ScopedEnvVar;
using testing::ScopedTestEnv;

TEST(PathsPosix, ExplicitVariablesWin) {
  ScopedTestEnv env;
  EXPECT_EQ(paths::RuntimeDir(), env.root() + "/run");
  EXPECT_EQ(paths::StateDir(), env.root() + "/state");
  EXPECT_EQ(paths::ProgramData(), text::FromUtf8(env.root() + "/programdata"));
  ScopedEnvVar no_pd("PROGRAMDATA", std::nullopt);
  EXPECT_EQ(paths::ProgramData(), text::FromUtf8(env.root() + "/state")) << "ProgramData falls back to the state dir";
}

TEST(PathsPosix, DefaultsFollowTheAccount) {
  ScopedEnvVar a("VANTREL_RUNTIME_DIR", std::nullopt);
  ScopedEnvVar b("VANTREL_STATE_DIR", std::nullopt);
  ScopedEnvVar c("XDG_RUNTIME_DIR", "/xdg/run");
  ScopedEnvVar d("XDG_STATE_HOME", std::nullopt);
  ScopedEnvVar e("HOME", "/home/someone");
  if (geteuid() == 0) {
    EXPECT_EQ(paths::RuntimeDir(), "/run/vantrel");
    EXPECT_EQ(paths::StateDir(), "/var/lib/vantrel");
  } else {
    EXPECT_EQ(paths::RuntimeDir(), "/xdg/run/vantrel");
    EXPECT_EQ(paths::StateDir(), "/home/someone/.local/state/vantrel");
    ScopedEnvVar f("XDG_STATE_HOME", "/xdg/state");
    EXPECT_EQ(paths::StateDir(), "/xdg/state/vantrel");
  }
}

TEST(PathsPosix, MapsProgramDataPathsOnly) {
  ScopedTestEnv env;
  const std::wstring pd = text::FromUtf8(env.root() + "/programdata");
  EXPECT_EQ(paths::MapWindowsPath(L"C:\\ProgramData\\oem\\VantrelAgentService\\x.ini"),
            pd + L"/oem/VantrelAgentService/x.ini");
  EXPECT_EQ(paths::MapWindowsPath(L"c:\\programdata\\OEM\\a.tag"), pd + L"/OEM/a.tag");
  EXPECT_EQ(paths::MapWindowsPath(L"C:\\ProgramData"), pd);
  EXPECT_EQ(paths::MapWindowsPath(L"C:\\ProgramDataX\\a"), L"C:\\ProgramDataX\\a");
  EXPECT_EQ(paths::MapWindowsPath(L"/already/posix"), L"/already/posix");
}

TEST(PathsPosix, MakeDirsCreatesEveryLevelAndReportsBlockers) {
  ScopedTestEnv env;
  const std::string deep = env.root() + "/a/b/c";
  EXPECT_TRUE(paths::MakeDirs(text::FromUtf8(deep)));
  EXPECT_TRUE(std::filesystem::is_directory(deep));
  EXPECT_TRUE(paths::MakeDirs(text::FromUtf8(deep + "/")));  // again, and with a trailing slash

  std::ofstream(env.root() + "/file") << "x";
  EXPECT_FALSE(paths::MakeDirs(text::FromUtf8(env.root() + "/file")));
  EXPECT_FALSE(paths::MakeDirs(text::FromUtf8(env.root() + "/file/sub")));
  EXPECT_FALSE(paths::MakeDirs(L""));
}

TEST(PathsPosix, ExecutableDirHoldsThisTest) {
  const std::filesystem::path dir(text::ToUtf8(paths::ExecutableDir()));
  EXPECT_TRUE(std::filesystem::exists(dir / "platform_common_paths"));
  // Under ctest the test support finds the same binary by name.
  if (std::getenv("VANTREL_TEST_BIN_DIR") != nullptr) {
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(testing::ProgramPath(L"platform_common_paths"))));
  }
}

}  // namespace
}  // namespace vantrel
