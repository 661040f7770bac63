// vantrelctl's agent commands against the real monitor agent (and, for the
// capability word, the real hardware service), plain and enciphered.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <memory>
#include <thread>

#include "common/names.h"
#include "common/pipe_transport.h"
#include "common/process.h"
#include "common/registry.h"
#include "common/text.h"
#include "tests/support/test_env.h"
#include "tools/agent_client.h"
#include "tools/agent_socket.h"
#include "tools/commands.h"

namespace vantrel::ctl {
namespace {

using namespace std::chrono_literals;
const reg::Root kHklm = reg::Root::kLocalMachine;

class AgentCtl : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { env_ = new testing::ScopedTestEnv(); }
  static void TearDownTestSuite() {
    delete env_;
    env_ = nullptr;
  }

  void SetUp() override {
    reg::SystemRegistry().DeleteValue(kHklm, reg::kSuiteKey, L"SupportAES");
    reg::SystemRegistry().DeleteValue(kHklm, reg::kSuiteKey, L"AESkey");
#ifndef _WIN32
    env_->WritePlatformConfig("sim");
    reg::WriteDword(reg::SystemRegistry(), kHklm, std::wstring(reg::kPlatformKey) + L"\\FirmwareSim", L"Capability",
                    0x0A5C);
#endif
    instance_ = testing::UniqueName(L"ctl");
    port_ = testing::FreeTcpPort();
    std::map<std::wstring, std::wstring> env = env_->ChildEnv();
    env[L"VANTREL_INSTANCE"] = instance_;
    env[L"VANTREL_AGENT_PORT"] = std::to_wstring(port_);
    agent_ = proc::Process::Start(testing::ProgramPath(L"VantrelSysMonitorService"), {}, env);
    ASSERT_TRUE(agent_) << "the monitor agent does not start";
    hardware_ = proc::Process::Start(testing::ProgramPath(L"VantrelSysHardwareService"), {}, env);
    ASSERT_TRUE(testing::WaitFor([&] { return TcpStream::Connect("127.0.0.1", port_, nullptr) != nullptr; }, 60s));
    if (hardware_) {
      ASSERT_TRUE(testing::WaitFor(
          [&] {
            pipe::PipeClient c(std::wstring(names::kHardwarePipe) + instance_);
            return c.Connect() == 0;
          },
          60s));
    }
  }
  void TearDown() override {
    for (auto* p : {&agent_, &hardware_}) {
      if (!*p) continue;
      (*p)->RequestStop();
      if (!(*p)->Wait(10s)) (*p)->Kill();
    }
    reg::SystemRegistry().DeleteValue(kHklm, reg::kSuiteKey, L"SupportAES");
    reg::SystemRegistry().DeleteValue(kHklm, reg::kSuiteKey, L"AESkey");
  }

  GlobalOptions Options() const {
    GlobalOptions o;
    o.port = port_;
    return o;
  }

  // Runs one command and returns its exit status and standard output.
  static std::pair<int, std::string> Run(const GlobalOptions& o, const std::vector<std::string>& words) {
    ::testing::internal::CaptureStdout();
    const int status = RunAgentCommand(o, words);
    return {status, ::testing::internal::GetCapturedStdout()};
  }

  static testing::ScopedTestEnv* env_;
  std::wstring instance_;
  uint16_t port_ = 0;
  std::unique_ptr<proc::Process> agent_;
  std::unique_ptr<proc::Process> hardware_;
};

testing::ScopedTestEnv* AgentCtl::env_ = nullptr;

Json::Value Parse(const std::string& text) {
  Json::Value v;
  std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  if (!reader->parse(text.data(), text.data() + text.size(), &v, nullptr)) return Json::Value();
  return v;
}

TEST_F(AgentCtl, VersionCapabilityAndMonitor) {
  EXPECT_EQ(Run(Options(), {"version"}), std::make_pair(0, std::string(VANTREL_VERSION_STRING "\n")));

  const auto [cap_status, cap_text] = Run(Options(), {"capability"});
#ifndef _WIN32
  EXPECT_EQ(cap_status, 0);
  EXPECT_EQ(cap_text, "0x0A5C (2652)\n");
#else
  // No firmware under Wine: the agent answers without a result.
  EXPECT_EQ(cap_status, 1);
  EXPECT_EQ(cap_text, "");
#endif

  GlobalOptions json = Options();
  json.json = true;
  const auto [json_status, json_text] = Run(json, {"monitor"});
  EXPECT_EQ(json_status, 0);
  const Json::Value data = Parse(json_text)["data"];
  ASSERT_TRUE(data.isObject()) << json_text;

  const auto [status, table] = Run(Options(), {"monitor"});
  EXPECT_EQ(status, 0);
  for (const char* row : {"CPU ", "Memory ", "Network ", "Temps ", "Fans ", "GPU1 "}) {
    EXPECT_NE(table.find(row), std::string::npos) << row << "\n" << table;
  }
  // One row per core when the counters are available (Wine's are not).
  if (data.isMember("CPU_CORE_AMOUNT")) {
    const unsigned cores = data["CPU_CORE_AMOUNT"].asUInt();
    EXPECT_NE(table.find("  core " + std::to_string(cores - 1) + " "), std::string::npos) << table;
    EXPECT_EQ(table.find("  core " + std::to_string(cores) + " "), std::string::npos) << table;
  }

  const auto [watch_status, watch_text] = Run(json, {"monitor", "--watch", "1", "--count", "2"});
  EXPECT_EQ(watch_status, 0);
  EXPECT_EQ(std::count(watch_text.begin(), watch_text.end(), '\n'), 2) << watch_text;
  const std::string first = watch_text.substr(0, watch_text.find('\n'));
  EXPECT_EQ(Parse(first)["request"].asString(), "GET_MONITOR_DATA") << watch_text;
}

TEST_F(AgentCtl, EncipheredConversation) {
  reg::WriteDword(reg::SystemRegistry(), kHklm, reg::kSuiteKey, L"SupportAES", 1);
  GlobalOptions aes = Options();
  aes.aes = true;
  EXPECT_EQ(Run(aes, {"version"}), std::make_pair(0, std::string(VANTREL_VERSION_STRING "\n")));
  // The reply to monitor data is far longer than a version; it still arrives whole.
  EXPECT_EQ(Run(aes, {"monitor"}).first, 0);

  const std::string key = "0123456789abcdef0123456789ABCDEF";
  reg::WriteString(reg::SystemRegistry(), kHklm, reg::kSuiteKey, L"AESkey", text::FromUtf8(key));
  // The connection options may also follow the command word.
  EXPECT_EQ(Run(Options(), {"version", "--aes", "--key", key}),
            std::make_pair(0, std::string(VANTREL_VERSION_STRING "\n")));
  // A client speaking plain is still answered plain.
  EXPECT_EQ(Run(Options(), {"version"}), std::make_pair(0, std::string(VANTREL_VERSION_STRING "\n")));
}

TEST_F(AgentCtl, EventsArePrintedAsTheyArrive) {
  GlobalOptions o = Options();
  std::future<std::pair<int, std::string>> events =
      std::async(std::launch::async, [o] { return Run(o, {"events", "--count", "1", "--timeout", "60"}); });
  // Until the client is connected a pushed event reaches nobody, so keep sending.
  const std::vector<uint8_t> status = pipe::U32Bytes(1);
  const pipe::PipeArg args[] = {{4, status.data()}};
  while (events.wait_for(200ms) != std::future_status::ready) {
    std::vector<uint8_t> reply;
    pipe::PipeTransact(std::wstring(names::kAgentPipe) + instance_, 3, args, &reply);
  }
  EXPECT_EQ(events.get(), std::make_pair(0, std::string("ADAPTOR_CHANGED status=1\n")));
}

// Not a terminal: frames are printed one after another, without escape sequences.
TEST_F(AgentCtl, WatchWithoutATerminalPrintsPlainFrames) {
  const auto [status, text] = Run(Options(), {"monitor", "--watch", "0.2", "--count", "3"});
  EXPECT_EQ(status, 0);
  EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  size_t frames = 0;
  for (size_t at = text.find("Vantrel monitor"); at != std::string::npos; at = text.find("Vantrel monitor", at + 1)) {
    ++frames;
  }
  EXPECT_EQ(frames, 3u) << text;
  EXPECT_NE(text.find("every 0.2 s"), std::string::npos) << text;
  EXPECT_NE(text.find("History (last 60 s)"), std::string::npos) << text;
}

#ifndef _WIN32
std::string Shell(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  pclose(p);
  return out;
}

// The live view on a real terminal: tmux runs it in a pane, and the pane's
// text is read back after a few redraws.
TEST_F(AgentCtl, LiveViewRedrawsInPlaceOnATerminal) {
  ASSERT_EQ(std::system("command -v tmux >/dev/null"), 0) << "tmux is missing (scripts/setup.sh installs it)";
  const std::string server = "vantrel-" + text::ToUtf8(instance_);
  const std::string tmux = "tmux -L '" + server + "' -f /dev/null ";
  const std::string ctl = text::ToUtf8(testing::ProgramPath(L"vantrelctl"));
  const std::string command = "env LANG=C.UTF-8 LC_ALL=C.UTF-8 TERM=xterm VANTREL_INSTANCE='" +
                              text::ToUtf8(instance_) + "' '" + ctl + "' --port " + std::to_string(port_) +
                              " monitor --watch 0.5";
  ASSERT_EQ(std::system((tmux + "new-session -d -s view -x 160 -y 60 \"" + command + "\"").c_str()), 0);
  std::string pane;
  // Six frames or so: enough to show a redraw and a history.
  testing::WaitFor(
      [&] {
        pane = Shell(tmux + "capture-pane -p -t view");
        return pane.find("GPU fan") != std::string::npos || pane.find("CPU fan") != std::string::npos;
      },
      20s);
  std::this_thread::sleep_for(2s);
  pane = Shell(tmux + "capture-pane -p -t view");
  std::system((tmux + "kill-server").c_str());

  // One frame on screen however many were drawn.
  size_t titles = 0;
  for (size_t at = pane.find("Vantrel monitor"); at != std::string::npos; at = pane.find("Vantrel monitor", at + 1)) {
    ++titles;
  }
  EXPECT_EQ(titles, 1u) << pane;
  // Units on the figures.
  for (const char* unit : {" %", " MHz", " MiB", " Kib/s", "\xC2\xB0" "C", " RPM"}) {
    EXPECT_NE(pane.find(unit), std::string::npos) << unit << "\n" << pane;
  }
  // A time stamp: YYYY-MM-DD HH:MM:SS.
  bool stamped = false;
  for (size_t at = pane.find("-"); at != std::string::npos && !stamped; at = pane.find("-", at + 1)) {
    if (at < 4 || at + 15 > pane.size()) continue;
    const std::string s = pane.substr(at - 4, 19);
    stamped = std::isdigit(static_cast<unsigned char>(s[0])) && s[4] == '-' && s[7] == '-' && s[10] == ' ' &&
              s[13] == ':' && s[16] == ':' && std::isdigit(static_cast<unsigned char>(s[18]));
  }
  EXPECT_TRUE(stamped) << pane;
  // The history: a sparkline of block characters after the CPU's label.
  EXPECT_NE(pane.find("History (last 60 s)"), std::string::npos) << pane;
  const size_t cpu = pane.find("CPU usage");
  ASSERT_NE(cpu, std::string::npos) << pane;
  const std::string history_line = pane.substr(cpu, pane.find('\n', cpu) - cpu);
  EXPECT_NE(history_line.find("\xE2\x96"), std::string::npos) << history_line;
  // The fixture's hardware service runs the simulated firmware.
  EXPECT_NE(pane.find("SIMULATED"), std::string::npos) << pane;
  EXPECT_EQ(pane.find("not answering"), std::string::npos) << pane;
}
#endif

TEST_F(AgentCtl, HostNamesAndOptionsOnEitherSide) {
  const std::string port = std::to_string(port_);
  EXPECT_EQ(Run(GlobalOptions{}, {"--host", "localhost", "--port", port, "version"}),
            std::make_pair(0, std::string(VANTREL_VERSION_STRING "\n")));
  EXPECT_EQ(Run(GlobalOptions{}, {"version", "--timeout", "5", "--port", port, "--host", "localhost"}),
            std::make_pair(0, std::string(VANTREL_VERSION_STRING "\n")));
  // An enciphered request to an agent with the cipher off: a failure with a hint.
  ::testing::internal::CaptureStderr();
  const int status = RunCommandLine(Options(), {"version", "--aes"});
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, 1);
  EXPECT_NE(err.find("try without --aes"), std::string::npos) << err;
}

TEST_F(AgentCtl, UsageErrors) {
  EXPECT_EQ(RunAgentCommand(Options(), {"bogus"}), 2);
  EXPECT_EQ(RunAgentCommand(Options(), {"monitor", "--watch", "0"}), 2);
  GlobalOptions bad_key = Options();
  bad_key.aes = true;
  bad_key.key = "0123456789";
  EXPECT_EQ(RunAgentCommand(bad_key, {"version"}), 2);
  GlobalOptions nobody = Options();
  nobody.port = testing::FreeTcpPort();
  EXPECT_EQ(RunAgentCommand(nobody, {"version"}), 1);
}

}  // namespace
}  // namespace vantrel::ctl
