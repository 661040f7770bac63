// Programs whose stdout and stderr nobody reads, or that are not open at all,
// go on serving: the debug lines cost nothing and land nowhere harmful.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "common/names.h"
#include "common/pipe_message.h"
#include "common/text.h"
#include "tests/e2e/hostile/hostile_support.h"

namespace vantrel::hostile {
namespace {

// A fifo whose one reader the test holds and can close at the right moment.
class Fifo {
 public:
  explicit Fifo(const std::string& path) : path_(path) {
    ok_ = mkfifo(path.c_str(), 0600) == 0;
    if (ok_) read_fd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  }
  ~Fifo() {
    CloseReader();
    unlink(path_.c_str());
  }
  bool ok() const { return ok_ && read_fd_ >= 0; }
  void CloseReader() {
    if (read_fd_ >= 0) close(read_fd_);
    read_fd_ = -1;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool ok_ = false;
  int read_fd_ = -1;
};

std::string FdTarget(uint32_t pid, int fd) {
  char buf[PATH_MAX];
  const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
  const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

class ClosedStreams : public HostilePeers {
 protected:
  // The agent started through sh with `redirect` applied to its stdout and stderr.
  void StartAgentWith(const std::string& redirect, const std::vector<std::wstring>& extra = {}) {
    std::vector<std::wstring> args = {L"-c", text::FromUtf8("exec \"$0\" " + redirect),
                                      testing::ProgramPath(L"VantrelSysMonitorService")};
    args.insert(args.end(), extra.begin(), extra.end());
    agent_ = proc::Process::Start(L"/bin/sh", args, ChildEnv());
    ASSERT_TRUE(agent_);
    ASSERT_TRUE(testing::WaitFor(
        [&] {
          AgentClient c;
          return c.Connect(port_);
        },
        60s));
  }

  // Connections, requests and an event: each writes debug lines.
  void ExpectServing() {
    for (int i = 0; i < 3; ++i) {
      AgentClient c;
      ASSERT_TRUE(c.Connect(port_));
      const Timed t = AskVersion(c, 10s);
      ASSERT_TRUE(t.answered()) << i;
      EXPECT_EQ(t.reply["result"].asString(), "0");
    }
    auto ui = Client();
    EXPECT_EQ(SendEvent(3, {pipe::U32Bytes(1)}), 0u);
    EXPECT_EQ(ParseJson(ui->Receive(5s, 20ms).value_or(""))["Function"].asString(), "ADAPTOR_CHANGED");
    EXPECT_TRUE(agent_->Running());
  }
};

TEST_F(ClosedStreams, AgentOutlivesAReaderThatLeft) {
  Fifo out(Env().root() + "/" + text::ToUtf8(instance_) + ".out");
  ASSERT_TRUE(out.ok());
  ASSERT_NO_FATAL_FAILURE(StartAgentWith(">\"$1\" 2>&1", {text::FromUtf8(out.path())}));
  // The agent holds the writing end; with the reader gone every write to it fails.
  out.CloseReader();
  ExpectServing();
  EXPECT_FALSE(agent_->Wait(0ms));
}

TEST_F(ClosedStreams, AgentStartedWithoutStdoutAndStderr) {
  ASSERT_NO_FATAL_FAILURE(StartAgentWith(">&- 2>&-"));
  // Nothing the agent opened later took the numbers of the closed streams.
  EXPECT_EQ(FdTarget(agent_->pid(), 1), "/dev/null");
  EXPECT_EQ(FdTarget(agent_->pid(), 2), "/dev/null");
  ExpectServing();
}

TEST_F(ClosedStreams, VantrelctlWithAReaderThatLeft) {
  ASSERT_NO_FATAL_FAILURE(StartAgent());
  Fifo out(Env().root() + "/" + text::ToUtf8(instance_) + ".ctl");
  Fifo go(Env().root() + "/" + text::ToUtf8(instance_) + ".go");
  ASSERT_TRUE(out.ok() && go.ok());
  go.CloseReader();
  // sh opens the output fifo, then waits on the second one until the test has
  // closed the output's reader; only then does vantrelctl run and write.
  const std::string script = "exec >\"$1\"; read -r _ <\"$2\"; exec \"$0\" version --port \"$3\"";
  auto ctl = proc::Process::Start(L"/bin/sh",
                                  {L"-c", text::FromUtf8(script), testing::ProgramPath(L"vantrelctl"),
                                   text::FromUtf8(out.path()), text::FromUtf8(go.path()), std::to_wstring(port_)},
                                  ChildEnv());
  ASSERT_TRUE(ctl);
  int go_fd = -1;
  ASSERT_TRUE(testing::WaitFor(
      [&] {
        go_fd = open(go.path().c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        return go_fd >= 0;
      },
      10s));
  out.CloseReader();
  EXPECT_EQ(write(go_fd, "go\n", 3), 3);
  close(go_fd);
  const std::optional<int> code = ctl->Wait(15s);
  ASSERT_TRUE(code);
  EXPECT_NE(*code, 128 + SIGPIPE);
}

}  // namespace
}  // namespace vantrel::hostile
