// run_pipe_server's answer to a server that cannot start: logged, retried with
// a growing pause, never a busy loop or a silent end.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "common/diag_log.h"
#include "common/pipe_transport.h"
#include "tests/support/test_env.h"

namespace vantrel::pipe {
namespace {

using namespace std::chrono_literals;

int CountLines(const std::filesystem::path& file, const std::string& needle) {
  std::ifstream in(file, std::ios::binary);
  int n = 0;
  for (std::string line; std::getline(in, line);) n += line.find(needle) != std::string::npos;
  return n;
}

TEST(PipeServerRestart, FailedSetUpIsLoggedAndRetriedWithBackOff) {
  testing::ScopedTestEnv env;
  const std::filesystem::path file = std::filesystem::path(env.root()) / "restart.log";
  // Left alive on purpose: the server thread keeps retrying until the process ends.
  static DiagnosticLog* log = new DiagnosticLog(file.wstring(), L"test");
  SetProcessLog(log);

  // A name no transport accepts (too long for a pipe name and a socket path).
  const std::wstring name(300, L'n');
  std::thread(run_pipe_server, name, std::vector<PipeCommandHandler>{dump_arguments}).detach();

  ASSERT_TRUE(testing::WaitFor([&] { return CountLines(file, "Named pipe creation failed.") >= 2; }, 10s));
  // The second try came after a pause of about a second; a third only after two more.
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(CountLines(file, "Named pipe creation failed."), 2);
  EXPECT_EQ(CountLines(file, "[EXCEPTION]"), 2);
  EXPECT_EQ(CountLines(file, "run_pipe_server"), 2);
}

}  // namespace
}  // namespace vantrel::pipe
