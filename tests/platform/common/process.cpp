// Process start, wait, kill and lookup by name, on both targets. The test
// program doubles as the child: VANTREL_PROC_CHILD selects what it does.
#include "common/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "common/text.h"
#include "tests/support/test_env.h"

namespace {

using namespace std::chrono_literals;
using vantrel::proc::Process;

#ifndef _WIN32
// What the child sees of itself: its signal mask and ignored signals, its
// open descriptors and one added variable. Written to VANTREL_PROC_REPORT
// when set (whole, by rename), else to standard output.
void ReportSelf() {
  std::string report;
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigBlk:", 0) == 0 || line.rfind("SigIgn:", 0) == 0) report += line + "\n";
  }
  status.close();
  report += "fds:";
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] == '.' || std::atoi(e->d_name) == dirfd(dir)) continue;
      report += std::string(" ") + e->d_name;
    }
    closedir(dir);
  }
  const char* extra = std::getenv("VANTREL_PROC_EXTRA");
  report += std::string("\nextra: ") + (extra ? extra : "(unset)") + "\n";
  if (const char* path = std::getenv("VANTREL_PROC_REPORT")) {
    const std::string tmp = std::string(path) + ".tmp";
    std::ofstream(tmp) << report;
    std::rename(tmp.c_str(), path);
  } else {
    std::fputs(report.c_str(), stdout);
  }
}
#endif

// Runs before gtest when the program was started as a child.
[[maybe_unused]] const bool kChildMode = [] {
  const char* mode = std::getenv("VANTREL_PROC_CHILD");
  if (!mode) return false;
  std::string m(mode);
  if (m.rfind("exit:", 0) == 0) std::_Exit(std::atoi(m.c_str() + 5));
  if (m == "sleep") {
    std::this_thread::sleep_for(60s);
    std::_Exit(0);
  }
  if (m == "print") {
    std::fputs("printed by the child\n", stdout);
    std::fflush(stdout);
    std::_Exit(7);
  }
#ifndef _WIN32
  if (m == "report") {
    ReportSelf();
    std::fflush(stdout);
    std::_Exit(0);
  }
#endif
  if (m == "env") {
    // The override arrives and the rest of the parent's environment stays.
    const char* v = std::getenv("VANTREL_PROC_VALUE");
    const char* kept = std::getenv("VANTREL_PROC_KEPT");
    bool ok = v && std::string(v) == "new value" && kept && std::string(kept) == "kept";
    std::_Exit(ok ? 0 : 3);
  }
  std::_Exit(99);
}();

void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value ? value : "");
#else
  if (value) setenv(name, value, 1); else unsetenv(name);
#endif
}

std::wstring SelfPath() { return vantrel::testing::ProgramPath(L"platform_common_process"); }

std::wstring SelfName() {
  std::wstring path = SelfPath();
  size_t slash = path.find_last_of(L"/\\");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::unique_ptr<Process> StartChild(const std::string& mode, std::map<std::wstring, std::wstring> env = {}) {
  env[L"VANTREL_PROC_CHILD"] = std::wstring(mode.begin(), mode.end());
  uint32_t error = 1;
  auto p = Process::Start(SelfPath(), {L"--gtest_filter=none"}, env, &error);
  EXPECT_TRUE(p) << "start failed: " << error;
  if (p) {
    EXPECT_EQ(error, 0u);
  }
  return p;
}

bool Contains(const std::vector<uint32_t>& ids, uint32_t id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

TEST(ProcessTest, ExitCodesAndEnvironmentReachTheParent) {
  for (int code : {0, 1, 42}) {
    auto p = StartChild("exit:" + std::to_string(code));
    ASSERT_TRUE(p);
    EXPECT_NE(p->pid(), 0u);
    EXPECT_EQ(p->Wait(20s), code);
    EXPECT_FALSE(p->Running());
    // Waiting again after the end gives the same code.
    EXPECT_EQ(p->Wait(0ms), code);
  }

  SetEnv("VANTREL_PROC_KEPT", "kept");
  SetEnv("VANTREL_PROC_VALUE", "old");
  auto p = StartChild("env", {{L"VANTREL_PROC_VALUE", L"new value"}});
  SetEnv("VANTREL_PROC_KEPT", nullptr);
  SetEnv("VANTREL_PROC_VALUE", nullptr);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->Wait(20s), 0);
}

TEST(ProcessTest, MissingProgramFailsWithAnError) {
  uint32_t error = 0;
  auto p = Process::Start(vantrel::testing::ProgramPath(L"no_such_program_here"), {}, {}, &error);
  EXPECT_FALSE(p);
  EXPECT_NE(error, 0u);
}

TEST(ProcessTest, WaitTimesOutThenKillEnds) {
  auto p = StartChild("sleep");
  ASSERT_TRUE(p);
  EXPECT_TRUE(p->Running());
  EXPECT_EQ(p->Wait(50ms), std::nullopt);
  p->Kill(9);
  auto code = p->Wait(20s);
  ASSERT_TRUE(code.has_value());
  EXPECT_NE(*code, 0);
  EXPECT_FALSE(p->Running());
}

TEST(ProcessTest, WaitForExitSeesTheEndAndHowItCame) {
  auto exited = StartChild("exit:130");  // the code a shell gives SIGINT, from a plain exit
  ASSERT_TRUE(exited);
  EXPECT_EQ(exited->WaitForExit(), 130);
  EXPECT_FALSE(exited->EndedBySignal());
  EXPECT_FALSE(exited->Running());

  auto killed = StartChild("sleep");
  ASSERT_TRUE(killed);
  EXPECT_FALSE(killed->EndedBySignal());  // still running
  std::thread watcher([&] { killed->WaitForExit(); });
  std::this_thread::sleep_for(50ms);
  killed->Kill(9);  // while the watcher waits: the pid is still ours to signal
  watcher.join();
  EXPECT_FALSE(killed->Running());
#ifndef _WIN32
  EXPECT_TRUE(killed->EndedBySignal());
#endif
}

TEST(ProcessTest, FindByNameSeesChildrenAndForgetsEndedOnes) {
  auto a = StartChild("sleep");
  auto b = StartChild("sleep");
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(vantrel::testing::WaitFor(
      [&] {
        auto ids = vantrel::proc::FindProcessesByName(SelfName());
        return Contains(ids, a->pid()) && Contains(ids, b->pid());
      },
      10s));
  EXPECT_TRUE(Contains(vantrel::proc::FindProcessesByName(SelfName()), vantrel::proc::CurrentProcessId()));
  EXPECT_TRUE(vantrel::proc::FindProcessesByName(L"no_such_program_here").empty());
  // A prefix of the name is another name.
  EXPECT_FALSE(Contains(vantrel::proc::FindProcessesByName(SelfName().substr(0, 10)), a->pid()));

  EXPECT_TRUE(vantrel::proc::TerminateProcessById(a->pid(), 9));
  ASSERT_TRUE(a->Wait(20s).has_value());
  EXPECT_FALSE(Contains(vantrel::proc::FindProcessesByName(SelfName()), a->pid()));
  EXPECT_TRUE(Contains(vantrel::proc::FindProcessesByName(SelfName()), b->pid()));
  b->Kill();
  EXPECT_TRUE(b->Wait(20s).has_value());
}

TEST(ProcessTest, DroppingTheObjectLeavesTheProcessRunning) {
  uint32_t pid = 0;
  {
    auto p = StartChild("sleep");
    ASSERT_TRUE(p);
    pid = p->pid();
  }
  EXPECT_TRUE(Contains(vantrel::proc::FindProcessesByName(SelfName()), pid));
  EXPECT_TRUE(vantrel::proc::TerminateProcessById(pid, 9));
  // Ended and reaped in the background: it disappears from the list.
  EXPECT_TRUE(vantrel::testing::WaitFor(
      [&] { return !Contains(vantrel::proc::FindProcessesByName(SelfName()), pid); }, 10s));
}

// Output capture, with the time limit that keeps a hung program from
// holding the caller.
TEST(ProcessTest, CapturedRunCollectsOutputAndEndsAHungProgram) {
  vantrel::proc::LaunchOptions options;
  options.env[L"VANTREL_PROC_CHILD"] = L"print";
  auto run = vantrel::proc::RunCapturingOutput(SelfPath(), {L"--gtest_filter=none"}, options, 20s);
  EXPECT_TRUE(run.ran);
  EXPECT_EQ(run.exit_code, 7);
  EXPECT_EQ(run.output.substr(0, run.output.find_last_not_of("\r\n") + 1), "printed by the child");

  options.env[L"VANTREL_PROC_CHILD"] = L"sleep";
  const auto start = std::chrono::steady_clock::now();
  run = vantrel::proc::RunCapturingOutput(SelfPath(), {L"--gtest_filter=none"}, options, 300ms);
  EXPECT_FALSE(run.ran);
  EXPECT_EQ(run.exit_code, -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);

  run = vantrel::proc::RunCapturingOutput(vantrel::testing::ProgramPath(L"no_such_program_here"), {}, options, 5s);
  EXPECT_FALSE(run.ran);
}

#ifndef _WIN32
std::map<std::string, std::string> ParseReport(const std::string& text) {
  std::map<std::string, std::string> fields;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const size_t value = line.find_first_not_of(" \t", colon + 1);
    fields[line.substr(0, colon)] = value == std::string::npos ? "" : line.substr(value);
  }
  return fields;
}

std::set<int> ParseFds(const std::string& list) {
  std::set<int> fds;
  std::istringstream in(list);
  int fd = 0;
  while (in >> fd) fds.insert(fd);
  return fds;
}

bool HasZombieChild() {
  const std::string me = std::to_string(getpid());
  bool found = false;
  DIR* dir = opendir("/proc");
  while (dir && !found) {
    dirent* e = readdir(dir);
    if (!e) break;
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos) continue;
    std::istringstream fields(stat.substr(paren + 2));
    std::string state, ppid;
    fields >> state >> ppid;
    found = state == "Z" && ppid == me;
  }
  if (dir) closedir(dir);
  return found;
}

// The launching thread blocks SIGTERM, the process ignores SIGUSR2 and holds a
// descriptor without close-on-exec: a child gets none of that unless asked
// to keep descriptors. A detached child is not ours and leaves no zombie.
TEST(ProcessTest, LaunchOptionsShapeTheChildsStart) {
  vantrel::testing::ScopedTestEnv env;
  const int leaked = open("/dev/null", O_RDONLY);  // no O_CLOEXEC, on purpose
  ASSERT_GE(leaked, 3);
  sigset_t blocked, old_mask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &blocked, &old_mask);
  struct sigaction ignore {}, old_usr2 {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGUSR2, &ignore, &old_usr2);

  struct Case {
    const char* name;
    bool detached;
    bool inherit_handles;
    bool expect_leaked_fd;
  };
  const Case cases[] = {
      {"tracked", false, false, false},
      {"tracked, descriptors kept", false, true, true},
      {"detached", true, false, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vantrel::proc::LaunchOptions options;
    options.detached = c.detached;
    options.inherit_handles = c.inherit_handles;
    options.env[L"VANTREL_PROC_CHILD"] = L"report";
    options.env[L"VANTREL_PROC_EXTRA"] = L"added value";
    std::string report;
    if (c.detached) {
      const std::string path = env.root() + "/report" + std::to_string(n++);
      options.env[L"VANTREL_PROC_REPORT"] = vantrel::text::FromUtf8(path);
      uint32_t error = 1;
      auto p = Process::Launch(SelfPath(), {L"--gtest_filter=none"}, options, &error);
      ASSERT_TRUE(p) << error;
      int status = 0;
      EXPECT_EQ(waitpid(static_cast<pid_t>(p->pid()), &status, WNOHANG), -1);
      EXPECT_EQ(errno, ECHILD);
      ASSERT_TRUE(vantrel::testing::WaitFor([&] { return access(path.c_str(), F_OK) == 0; }, 20s));
      std::ifstream in(path);
      report.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      EXPECT_TRUE(vantrel::testing::WaitFor([] { return !HasZombieChild(); }, 5s));
      // Ended, even where init leaves it a zombie.
      EXPECT_TRUE(vantrel::testing::WaitFor([&] { return !p->Running(); }, 20s));
    } else {
      auto run = vantrel::proc::RunCapturingOutput(SelfPath(), {L"--gtest_filter=none"}, options, 20s);
      ASSERT_TRUE(run.ran);
      EXPECT_EQ(run.exit_code, 0);
      report = run.output;
    }
    auto fields = ParseReport(report);
    EXPECT_EQ(fields["SigBlk"], "0000000000000000");
    EXPECT_EQ(fields["SigIgn"], "0000000000000000");
    EXPECT_EQ(fields["extra"], "added value");
    const std::set<int> fds = ParseFds(fields["fds"]);
    EXPECT_TRUE(fds.count(0) && fds.count(1) && fds.count(2)) << fields["fds"];
    EXPECT_EQ(fds.count(leaked) == 1, c.expect_leaked_fd) << fields["fds"];
    if (!c.expect_leaked_fd) {
      EXPECT_EQ(fds.size(), 3u) << fields["fds"];
    }
  }

  sigaction(SIGUSR2, &old_usr2, nullptr);
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  close(leaked);
}

// As root, a program can be started as another account: uid, gid and the
// supplementary groups all change, none of root's stay.
TEST(ProcessTest, RunAsUserDropsTheCallersIdentity) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  vantrel::proc::LaunchOptions options;
  options.user = vantrel::proc::RunAsUser{65534, 65534, "nobody"};
  auto run = vantrel::proc::RunCapturingOutput(L"/bin/cat", {L"/proc/self/status"}, options, 20s);
  ASSERT_TRUE(run.ran);
  auto fields = ParseReport(run.output);
  EXPECT_EQ(fields["Uid"], "65534\t65534\t65534\t65534");
  EXPECT_EQ(fields["Gid"], "65534\t65534\t65534\t65534");
  const std::set<int> groups = ParseFds(fields["Groups"]);
  EXPECT_EQ(groups.count(0), 0u) << fields["Groups"];

  // A failed exec after the switch still reaches the caller.
  uint32_t error = 0;
  EXPECT_FALSE(Process::Launch(L"/nonexistent/program", {}, options, &error));
  EXPECT_NE(error, 0u);
}
#endif

}  // namespace
