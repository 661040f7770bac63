// What only the Linux store has to prove: several processes at once, crashes
// mid-write, a store that cannot be opened, and its own choices where the
// Windows registry gives no single answer.
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/registry.h"
#include "common/text.h"
#include "common/win32_errors.h"
#include "tests/support/test_env.h"

namespace vantrel::reg {
namespace {

using namespace vantrel::win32;

const std::wstring kKey = L"Software\\VantrelTest\\Store";

// Runs `body` in a forked child; returns the child's pid. The child leaves
// through _exit so no test-framework state is torn down twice.
template <typename Body>
pid_t Spawn(Body&& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

int WaitExit(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(RegistryStore, TwoProcessesWritingAtOnceLoseNothing) {
  testing::ScopedTestEnv env;
  Registry& reg = SystemRegistry();
  ASSERT_EQ(reg.CreateKey(Root::kLocalMachine, kKey), kErrorSuccess);  // the parent has a connection open too

  constexpr int kValues = 1000;
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    children.push_back(Spawn([p] {
      Registry& r = SystemRegistry();
      for (int i = 0; i < kValues; ++i) {
        const std::wstring name = L"p" + std::to_wstring(p) + L"_" + std::to_wstring(i);
        if (WriteDword(r, Root::kLocalMachine, kKey, name, static_cast<uint32_t>(p * 100000 + i)) != 0) return 1;
      }
      return 0;
    }));
  }
  for (pid_t pid : children) EXPECT_EQ(WaitExit(pid), 0);

  int missing = 0;
  for (int p = 0; p < 2; ++p) {
    for (int i = 0; i < kValues; ++i) {
      const std::wstring name = L"p" + std::to_wstring(p) + L"_" + std::to_wstring(i);
      if (ReadDword(reg, Root::kLocalMachine, kKey, name) != static_cast<uint32_t>(p * 100000 + i)) ++missing;
    }
  }
  EXPECT_EQ(missing, 0);
}

TEST(RegistryStore, AProcessKilledMidWriteLeavesWholeValues) {
  testing::ScopedTestEnv env;
  Registry& reg = SystemRegistry();
  // Each value is 8 KiB of one repeated byte, so a torn write would show.
  const pid_t writer = Spawn([] {
    Registry& r = SystemRegistry();
    for (int i = 0;; ++i) {
      const std::vector<uint8_t> data(8192, static_cast<uint8_t>(i));
      r.SetValue(Root::kLocalMachine, kKey + L"\\k" + std::to_wstring(i % 7), L"v" + std::to_wstring(i % 50),
                 kRegBinary, data.data(), static_cast<uint32_t>(data.size()));
    }
    return 0;
  });
  ASSERT_TRUE(testing::WaitFor(
      [&] { return ValueExists(reg, Root::kLocalMachine, kKey + L"\\k6", L"v6"); }, std::chrono::seconds(20)));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  kill(writer, SIGKILL);
  EXPECT_EQ(WaitExit(writer), 128 + SIGKILL);

  int seen = 0;
  for (int k = 0; k < 7; ++k) {
    for (int v = 0; v < 50; ++v) {
      std::vector<uint8_t> data(8192);
      uint32_t size = static_cast<uint32_t>(data.size());
      const uint32_t rc = reg.GetValue(Root::kLocalMachine, kKey + L"\\k" + std::to_wstring(k),
                                       L"v" + std::to_wstring(v), kRrfRtRegBinary, nullptr, data.data(), &size);
      if (rc == kErrorFileNotFound) continue;
      ASSERT_EQ(rc, kErrorSuccess);
      ASSERT_EQ(size, 8192u);
      ASSERT_EQ(std::count(data.begin(), data.end(), data[0]), 8192) << "torn value k" << k << " v" << v;
      ++seen;
    }
  }
  EXPECT_GT(seen, 0);
  EXPECT_EQ(WriteDword(reg, Root::kLocalMachine, kKey, L"after", 1), kErrorSuccess) << "the store stays writable";

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2((env.root() + "/state/registry.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
            SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "ok");
  sqlite3_finalize(st);
  sqlite3_close(db);
}

TEST(RegistryStore, ValuesOutliveTheProcessAndStayInTheirStateDir) {
  testing::ScopedTestEnv first;
  Registry& reg = SystemRegistry();
  ASSERT_EQ(WriteString(reg, Root::kCurrentUser, kKey, L"Model", L"VX-15"), kErrorSuccess);
  // A fresh process opens the file anew and finds the value.
  const pid_t reader = Spawn([] { return ReadString(SystemRegistry(), Root::kCurrentUser, kKey, L"Model") == L"VX-15" ? 0 : 1; });
  EXPECT_EQ(WaitExit(reader), 0);
  EXPECT_TRUE(std::filesystem::exists(first.root() + "/state/registry.db"));

  {
    testing::ScopedTestEnv second;  // another state dir: another, empty store
    EXPECT_FALSE(ValueExists(reg, Root::kCurrentUser, kKey, L"Model"));
    ASSERT_EQ(WriteDword(reg, Root::kCurrentUser, kKey, L"Other", 1), kErrorSuccess);
  }
  EXPECT_EQ(ReadString(reg, Root::kCurrentUser, kKey, L"Model"), L"VX-15");
  EXPECT_FALSE(ValueExists(reg, Root::kCurrentUser, kKey, L"Other"));
}

TEST(RegistryStore, RootsAreSeparateAndARootCanBeEmptied) {
  testing::ScopedTestEnv env;
  Registry& reg = SystemRegistry();
  ASSERT_EQ(WriteDword(reg, Root::kUsers, L"a\\b", L"v", 1), kErrorSuccess);
  ASSERT_EQ(WriteDword(reg, Root::kUsers, L"", L"top", 2), kErrorSuccess);
  ASSERT_EQ(WriteDword(reg, Root::kClassesRoot, L"a\\b", L"v", 3), kErrorSuccess);
  EXPECT_EQ(ReadDword(reg, Root::kClassesRoot, L"a\\b", L"v"), 3u);

  EXPECT_EQ(reg.DeleteTree(Root::kUsers, L""), kErrorSuccess);
  EXPECT_EQ(reg.OpenKey(Root::kUsers, L"a"), kErrorFileNotFound);
  EXPECT_FALSE(ValueExists(reg, Root::kUsers, L"", L"top"));
  EXPECT_EQ(reg.OpenKey(Root::kUsers, L""), kErrorSuccess) << "the root itself remains";
  EXPECT_EQ(ReadDword(reg, Root::kClassesRoot, L"a\\b", L"v"), 3u);
}

TEST(RegistryStore, TypedReadsRefuseDwordsAndQwordsOfAnotherWidth) {
  testing::ScopedTestEnv env;
  Registry& reg = SystemRegistry();
  const uint8_t six[6] = {1, 2, 3, 4, 5, 6};
  ASSERT_EQ(reg.SetValue(Root::kLocalMachine, kKey, L"d", kRegDword, six, 6), kErrorSuccess);
  ASSERT_EQ(reg.SetValue(Root::kLocalMachine, kKey, L"q", kRegQword, six, 6), kErrorSuccess);
  uint8_t buf[16];
  uint32_t size = sizeof(buf);
  EXPECT_EQ(reg.GetValue(Root::kLocalMachine, kKey, L"d", kRrfRtRegDword, nullptr, buf, &size), 1629u);
  size = sizeof(buf);
  EXPECT_EQ(reg.GetValue(Root::kLocalMachine, kKey, L"q", kRrfRtRegQword, nullptr, buf, &size), 1629u);
  // An any-type read hands out the bytes as they are.
  size = sizeof(buf);
  EXPECT_EQ(reg.GetValue(Root::kLocalMachine, kKey, L"d", kRrfRtAny, nullptr, buf, &size), kErrorSuccess);
  EXPECT_EQ(size, 6u);
}

// Windows is not consistent here across sizes; the store always terminates.
TEST(RegistryStore, UnterminatedMultiStringsGetAClosingNul) {
  testing::ScopedTestEnv env;
  Registry& reg = SystemRegistry();
  const uint8_t multi[8] = {'a', 0, 'b', 0, 0, 0, 'c', 0};
  ASSERT_EQ(reg.SetValue(Root::kLocalMachine, kKey, L"m", kRegMultiSz, multi, 8), kErrorSuccess);
  uint8_t buf[16] = {};
  uint32_t size = sizeof(buf);
  ASSERT_EQ(reg.GetValue(Root::kLocalMachine, kKey, L"m", kRrfRtRegMultiSz, nullptr, buf, &size), kErrorSuccess);
  ASSERT_EQ(size, 10u);
  EXPECT_EQ(buf[8] | buf[9], 0);
}

TEST(RegistryStore, NamesEndAtTheirFirstNul) {
  testing::ScopedTestEnv env;
  Registry& reg = SystemRegistry();
  ASSERT_EQ(WriteDword(reg, Root::kLocalMachine, kKey + std::wstring(L"\0junk", 5), std::wstring(L"v\0x", 3), 7),
            kErrorSuccess);
  EXPECT_EQ(ReadDword(reg, Root::kLocalMachine, kKey, L"v"), 7u);
}

TEST(RegistryStore, AStoreThatCannotBeCreatedReportsAccessDenied) {
  testing::ScopedTestEnv env;
  std::ofstream(env.root() + "/blocker") << "not a folder";
  testing::ScopedEnvVar state("VANTREL_STATE_DIR", env.root() + "/blocker/state");
  Registry& reg = SystemRegistry();
  EXPECT_EQ(reg.CreateKey(Root::kLocalMachine, kKey), kErrorAccessDenied);
  uint32_t size = 0;
  EXPECT_EQ(reg.GetValue(Root::kLocalMachine, kKey, L"v", kRrfRtAny, nullptr, nullptr, &size), kErrorAccessDenied);
}

TEST(RegistryStore, AnotherAccountCanReadButNotWrite) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another account";
  testing::ScopedTestEnv env;
  Registry& reg = SystemRegistry();
  ASSERT_EQ(WriteDword(reg, Root::kLocalMachine, kKey, L"v", 42), kErrorSuccess);
  std::filesystem::permissions(env.root(), std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                               std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                               std::filesystem::perms::others_exec);
  const pid_t child = Spawn([] {
    if (setgid(65534) != 0 || setuid(65534) != 0) return 10;
    Registry& r = SystemRegistry();
    if (ReadDword(r, Root::kLocalMachine, kKey, L"v") != 42u) return 11;
    if (WriteDword(r, Root::kLocalMachine, kKey, L"w", 1) != kErrorAccessDenied) return 12;
    return 0;
  });
  EXPECT_EQ(WaitExit(child), 0);
}

TEST(RegistryStore, ExpansionUsesTheProcessEnvironment) {
  testing::ScopedTestEnv env;
  Registry& reg = SystemRegistry();
  testing::ScopedEnvVar a("VANTREL_A", "1");
  const std::vector<uint8_t> raw = text::ToUtf16LeZ(L"%%VANTREL_A%%%VANTREL_A");
  ASSERT_EQ(reg.SetValue(Root::kLocalMachine, kKey, L"e", kRegExpandSz, raw.data(), static_cast<uint32_t>(raw.size())),
            kErrorSuccess);
  EXPECT_EQ(ReadString(reg, Root::kLocalMachine, kKey, L"e"), L"%1%%VANTREL_A");
}

}  // namespace
}  // namespace vantrel::reg
