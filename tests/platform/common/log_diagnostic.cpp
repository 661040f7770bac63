// The diagnostic log against real files, with a fake registry for its switch.
#include "common/diag_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <algorithm>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "common/registry.h"
#include "common/text.h"
#include "common/win32_errors.h"
#include "tests/support/test_env.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

// Answers GetValue for the values it holds under HKLM\...\Log; nothing else.
class SwitchRegistry : public reg::Registry {
 public:
  std::set<std::wstring> values;
  std::wstring last_key;
  uint32_t last_flags = 0;

  uint32_t CreateKey(reg::Root, const std::wstring&) override { return win32::kErrorNotSupported; }
  uint32_t OpenKey(reg::Root, const std::wstring&) override { return win32::kErrorNotSupported; }
  uint32_t GetValue(reg::Root root, const std::wstring& subkey, const std::wstring& value, uint32_t flags,
                    uint32_t* type, void* data, uint32_t* size) override {
    last_key = subkey;
    last_flags = flags;
    if (root != reg::Root::kLocalMachine || subkey != reg::kLogKey || !values.count(value)) {
      return win32::kErrorFileNotFound;
    }
    if (type) *type = win32::kRegDword;
    if (data == nullptr && size) *size = 4;
    return win32::kErrorSuccess;
  }
  uint32_t SetValue(reg::Root, const std::wstring&, const std::wstring&, uint32_t, const void*, uint32_t) override {
    return win32::kErrorNotSupported;
  }
  uint32_t DeleteValue(reg::Root, const std::wstring&, const std::wstring&) override {
    return win32::kErrorNotSupported;
  }
  uint32_t DeleteTree(reg::Root, const std::wstring&) override { return win32::kErrorNotSupported; }
};

std::vector<std::string> ReadLines(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string all = ss.str();
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t pos; (pos = all.find("\r\n", start)) != std::string::npos; start = pos + 2) {
    lines.push_back(all.substr(start, pos - start));
  }
  EXPECT_EQ(start, all.size()) << "text after the last line end";
  return lines;
}

// Splits "tag time | module | function | message" and checks the tag and the
// time stamp's shape; nullopt when the line does not have the format.
struct Line {
  std::string tag, module, function, message;
};
std::optional<Line> ParseLine(const std::string& line) {
  static const char* const kTags[] = {"[INFO]     ", "[WARNING]  ", "[ERROR]    ", "[EXCEPTION]"};
  Line out;
  std::string rest = line;
  if (!rest.empty() && rest[0] == '[') {
    out.tag = rest.substr(0, 11);
    if (std::find(std::begin(kTags), std::end(kTags), out.tag) == std::end(kTags)) return std::nullopt;
    rest = rest.substr(11);
  }
  const std::string shape = " DDDDDDDD_DD:DD:DD.DDD | ";
  if (rest.size() < shape.size()) return std::nullopt;
  for (size_t i = 0; i < shape.size(); ++i) {
    const bool ok = shape[i] == 'D' ? (rest[i] >= '0' && rest[i] <= '9') : rest[i] == shape[i];
    if (!ok) return std::nullopt;
  }
  rest = rest.substr(shape.size());
  const size_t a = rest.find(" | ");
  if (a == std::string::npos) return std::nullopt;
  const size_t b = rest.find(" | ", a + 3);
  if (b == std::string::npos) return std::nullopt;
  out.module = rest.substr(0, a);
  out.function = rest.substr(a + 3, b - a - 3);
  out.message = rest.substr(b + 3);
  return out;
}

class DiagnosticLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    program_data_ = fs::path(env_.root()) / "programdata";
    fs::create_directories(program_data_);
    program_data_var_.emplace("PROGRAMDATA", program_data_.string());
    reg::SetSystemRegistryForTesting(&registry_);
  }
  void TearDown() override { reg::SetSystemRegistryForTesting(nullptr); }

  fs::path LogFolder() const { return program_data_ / "OEM" / "VantrelSysMonitorService" / "Log"; }
  fs::path LogFile(const std::string& module) const {
    return LogFolder() / (text::ToUtf8(CurrentUserName()) + "_" + module + ".log");
  }

  testing::ScopedTestEnv env_;
  fs::path program_data_;
  std::optional<testing::ScopedEnvVar> program_data_var_;
  SwitchRegistry registry_;
};

// Errors go to the system log from whichever thread meets them; the first
// lines of a process, sent from several threads at once, must not race over
// the log's connection (ThreadSanitizer ends the process on such a race).
// Defined first so that no earlier case has opened that connection.
TEST(DiagnosticLogSystemLog, FirstErrorsFromManyThreadsAtOnce) {
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([i] { Log(kLogError, L"log test", L"concurrent error " + std::to_wstring(i)); });
  }
  for (auto& t : threads) t.join();
}

TEST_F(DiagnosticLogTest, NoSwitchValueMeansNoLogNoFolderNoFile) {
  registry_.values = {L"VantrelHardwareService"};  // another program's switch
  EXPECT_EQ(OpenDiagnosticLog(L"VantrelAgentService", L"VantrelSysMonitorService"), nullptr);
  EXPECT_EQ(registry_.last_key, reg::kLogKey);
  EXPECT_EQ(registry_.last_flags & win32::kRrfRtAny, win32::kRrfRtAny);
  EXPECT_FALSE(fs::exists(program_data_ / "OEM"));
}

TEST_F(DiagnosticLogTest, SwitchCreatesFolderAndLinesFollowTheFormat) {
  registry_.values = {L"VantrelAgentService"};
  auto log = OpenDiagnosticLog(L"VantrelAgentService", L"VantrelSysMonitorService");
  ASSERT_NE(log, nullptr);
  EXPECT_TRUE(fs::is_directory(LogFolder()));
  EXPECT_EQ(fs::path(log->path()), LogFile("VantrelSysMonitorService"));
  EXPECT_EQ(log->module_name(), L"VantrelSysMonitorService");
  EXPECT_FALSE(fs::exists(log->path())) << "the file appears with the first line";

  const std::vector<std::pair<uint32_t, std::string>> levels = {
      {kLogInfo, "[INFO]     "}, {kLogWarning, "[WARNING]  "}, {kLogError, "[ERROR]    "},
      {kLogException, "[EXCEPTION]"}, {5, ""}, {0xFFFFFFFF, ""}};
  ASSERT_TRUE(log->Write(kLogInfo, L"wWinMain", L"VantrelAgentService, BEGIN."));
  for (const auto& [level, tag] : levels) ASSERT_TRUE(log->Write(level, L"TXSocket::Process_socket", L"msg"));

  const auto lines = ReadLines(log->path());
  ASSERT_EQ(lines.size(), 1 + levels.size());
  auto first = ParseLine(lines[0]);
  ASSERT_TRUE(first) << lines[0];
  EXPECT_EQ(first->tag, "[INFO]     ");
  EXPECT_EQ(first->module, "VantrelSysMonitorService");
  EXPECT_EQ(first->function, "wWinMain");
  EXPECT_EQ(first->message, "VantrelAgentService, BEGIN.");
  for (size_t i = 0; i < levels.size(); ++i) {
    auto l = ParseLine(lines[i + 1]);
    ASSERT_TRUE(l) << lines[i + 1];
    EXPECT_EQ(l->tag, levels[i].second);
    EXPECT_EQ(l->function, "TXSocket::Process_socket");
    EXPECT_EQ(l->message, "msg");
  }
  // Level 5: one space, then the time stamp.
  EXPECT_EQ(lines[5][0], ' ');
  EXPECT_NE(lines[5][1], ' ');

  // A second log object appends to the same file; nothing is truncated.
  auto again = OpenDiagnosticLog(L"VantrelAgentService", L"VantrelSysMonitorService");
  ASSERT_NE(again, nullptr);
  ASSERT_TRUE(again->Write(kLogInfo, L"f", L"appended"));
  EXPECT_EQ(ReadLines(log->path()).size(), 2 + levels.size());
}

TEST_F(DiagnosticLogTest, ConcurrentWritersLeaveWholeLines) {
  registry_.values = {L"VACSvc"};
  auto log = OpenDiagnosticLog(L"VACSvc", L"VantrelSysCentralService");
  ASSERT_NE(log, nullptr);
  constexpr int kLines = 1000;
  auto writer = [&](const std::wstring& who) {
    for (int i = 0; i < kLines; ++i) log->Write(kLogWarning, who, L"line " + std::to_wstring(i) + L" of " + who);
  };
  std::thread a(writer, L"threadA"), b(writer, L"threadB");
  a.join();
  b.join();
  const auto lines = ReadLines(log->path());
  ASSERT_EQ(lines.size(), 2u * kLines);
  int per_thread[2] = {0, 0};
  std::set<std::string> seen;
  for (const std::string& line : lines) {
    auto l = ParseLine(line);
    ASSERT_TRUE(l) << line;
    const std::string& who = l->function;
    ASSERT_TRUE(who == "threadA" || who == "threadB") << line;
    ASSERT_EQ(l->message.rfind("line ", 0), 0u) << line;
    ASSERT_EQ(l->message.substr(l->message.find(" of ")), " of " + who) << line;
    seen.insert(l->message);
    ++per_thread[who == "threadB"];
  }
  EXPECT_EQ(seen.size(), 2u * kLines);
  EXPECT_EQ(per_thread[0], kLines);
  EXPECT_EQ(per_thread[1], kLines);
}

TEST_F(DiagnosticLogTest, CharacterAbove255CutsTheLineThere) {
  registry_.values = {L"VantrelHardwareService"};
  auto log = OpenDiagnosticLog(L"VantrelHardwareService", L"VantrelSysHardwareService");
  ASSERT_NE(log, nullptr);
  ASSERT_TRUE(log->Write(kLogError, L"fn", std::wstring(L"caf\u00e9 ok ") + L"\u0100" + L"rest | more"));
  ASSERT_TRUE(log->Write(kLogInfo, L"fn", L"next"));
  const auto lines = ReadLines(log->path());
  ASSERT_EQ(lines.size(), 2u);
  // U+00E9 is one byte; the cut keeps everything before U+0100 and the line end.
  const std::string want_tail = std::string("| fn | caf\xE9 ok ");
  ASSERT_GE(lines[0].size(), want_tail.size());
  EXPECT_EQ(lines[0].substr(lines[0].size() - want_tail.size()), want_tail);
  auto next = ParseLine(lines[1]);
  ASSERT_TRUE(next) << lines[1];
  EXPECT_EQ(next->message, "next");
}

TEST_F(DiagnosticLogTest, WriteReportsAMissingFolderAndProcessLogIsOptional) {
  registry_.values = {L"VantrelAgentService"};
  auto log = OpenDiagnosticLog(L"VantrelAgentService", L"VantrelSysMonitorService");
  ASSERT_NE(log, nullptr);

  SetProcessLog(nullptr);
  Log(kLogInfo, L"f", L"dropped");  // no log: nothing happens
  EXPECT_FALSE(fs::exists(log->path()));
  SetProcessLog(log.get());
  EXPECT_EQ(ProcessLog(), log.get());
  LogInfo(L"f", L"kept");
  SetProcessLog(nullptr);
  ASSERT_EQ(ReadLines(log->path()).size(), 1u);

  fs::remove_all(program_data_ / "OEM");
  EXPECT_FALSE(log->Write(kLogInfo, L"f", L"lost"));
  EXPECT_FALSE(fs::exists(log->path()));
}

// Through the machine's registry: a value of any type switches the log on.
TEST_F(DiagnosticLogTest, RealRegistrySwitchOfAnyType) {
  reg::SetSystemRegistryForTesting(nullptr);
  reg::Registry& r = reg::SystemRegistry();
  const std::wstring name = testing::UniqueName(L"VantrelLogSwitch");
  EXPECT_EQ(OpenDiagnosticLog(name, L"Module"), nullptr);
  const uint8_t blob[] = {1};
  ASSERT_EQ(r.SetValue(reg::Root::kLocalMachine, reg::kLogKey, name, win32::kRegBinary, blob, 1), 0u);
  auto log = OpenDiagnosticLog(name, L"Module");
  ASSERT_EQ(r.DeleteValue(reg::Root::kLocalMachine, reg::kLogKey, name), 0u);
  ASSERT_NE(log, nullptr);
  EXPECT_TRUE(log->Write(kLogInfo, L"f", L"m"));
  EXPECT_TRUE(fs::exists(LogFile("Module")));
}

TEST(DiagnosticLogUser, AccountNameIsKnown) { EXPECT_FALSE(CurrentUserName().empty()); }

}  // namespace
}  // namespace vantrel
