// vantrelctl's agent client: splitting the reply stream into frames (plain
// replies, pushed notifications, Base64 enciphered replies) and the tables.
#include <gtest/gtest.h>

#include <algorithm>

#include <cryptopp/aes.h>
#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/modes.h>

#include "tests/support/test_env.h"
#include "tools/agent_client.h"
#include "tools/commands.h"
#include "tools/monitor_view.h"

namespace vantrel::ctl {
namespace {

// What the agent sends for an enciphered request.
std::string AgentStyleReply(const std::string& text, const std::string& key) {
  std::string out;
  CryptoPP::ECB_Mode<CryptoPP::AES>::Encryption e;
  e.SetKey(reinterpret_cast<const uint8_t*>(key.data()), key.size());
  CryptoPP::StringSource(text, true,
                         new CryptoPP::StreamTransformationFilter(e, new CryptoPP::Base64Encoder(new CryptoPP::StringSink(out))));
  return out;
}

Json::Value Object(const char* name, const Json::Value& v) {
  Json::Value o(Json::objectValue);
  o[name] = v;
  return o;
}

TEST(AgentCtlFrames, PlainRepliesAndEventsSplitWherePushed) {
  Json::Value reply = Object("request", "VERSION");
  reply["data"] = "1.0.0.0";
  reply["result"] = "0";
  Json::Value event = Object("Function", "ADAPTOR_CHANGED");
  event["Parameter"] = Object("status", 1);
  const std::string stream = event.toStyledString() + reply.toStyledString() + Json::Value(Json::objectValue).toStyledString();

  // Fed a byte at a time, the frames come out whole and in order.
  AgentFrameReader reader;
  std::vector<AgentFrame> frames;
  for (char c : stream) {
    reader.Feed(&c, 1);
    while (std::optional<AgentFrame> f = reader.Next()) frames.push_back(*f);
  }
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_TRUE(frames[0].IsEvent());
  EXPECT_EQ(frames[0].value, event);
  EXPECT_FALSE(frames[1].IsEvent());
  EXPECT_EQ(frames[1].value, reply);
  EXPECT_EQ(frames[1].text, reply.toStyledString());
  EXPECT_TRUE(frames[2].value.isObject());
  EXPECT_EQ(reader.pending(), 0u);
}

TEST(AgentCtlFrames, EncipheredRepliesEndWhereTheyDecipher) {
  const std::string key = "0123456789abcdef0123456789ABCDEF";
  Json::Value event = Object("Function", "BATTERY_BOOST");
  event["Parameter"] = Object("status", 0);
  // Sizes whose Base64 ends mid-line and exactly at a 72-character line end.
  for (size_t pad : {0u, 1u, 37u, 38u, 390u, 500u, 3000u}) {
    Json::Value reply = Object("result", "0");
    reply["data"] = std::string(pad, 'x');
    const std::string stream = AgentStyleReply(reply.toStyledString(), key) + event.toStyledString();
    AgentFrameReader reader(key);
    std::vector<AgentFrame> frames;
    for (size_t at = 0; at < stream.size(); at += 50) {
      reader.Feed(stream.data() + at, std::min<size_t>(50, stream.size() - at));
      while (std::optional<AgentFrame> f = reader.Next()) frames.push_back(*f);
    }
    ASSERT_EQ(frames.size(), 2u) << pad;
    EXPECT_TRUE(frames[0].enciphered);
    EXPECT_EQ(frames[0].value, reply) << pad;
    EXPECT_TRUE(frames[1].IsEvent());
  }
}

TEST(AgentCtlFrames, RequestsAndTheirCipher) {
  const std::vector<uint8_t> block = BuildAgentRequest(10, "{}");
  EXPECT_EQ(block, (std::vector<uint8_t>{'V', 'N', 'T', 'L', 10, 0, 0, 0, '{', '}'}));
  const std::string cipher = EncipherRequest(block, kAgentDefaultKey);
  EXPECT_EQ(cipher.size(), 16u);
  EXPECT_EQ(EncipherRequest(block, "short"), "");
  const std::string base64 = AgentStyleReply("hello", kAgentDefaultKey);
  EXPECT_EQ(DecipherReply(base64, kAgentDefaultKey), std::optional<std::string>("hello"));
  EXPECT_EQ(DecipherReply(base64, "0123456789abcdeX"), std::nullopt);
}

bool Has(const std::vector<std::string>& lines, const std::string& text) {
  for (const auto& l : lines) {
    if (l.find(text) != std::string::npos) return true;
  }
  return false;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

TEST(AgentCtlFormat, MonitorViewFiguresCarryUnitsAndMissingOnesSayNA) {
  Json::Value d(Json::objectValue);
  d["CPU_USAGE"] = 12.5;
  d["CPU_FREQUENCY"] = 2400.0;
  d["CPU_MAX_FREQUENCY"] = 5000;
  d["CPU_CORE_AMOUNT"] = 2;
  d["CPU_CORE_FREQUENCY"].append(2400.0);
  d["CPU_CORE_FREQUENCY"].append(-1.0);
  d["RAM_USAGE"] = 40.75;
  d["RAM_TOTAL"] = 15890.0;
  d["RAM_FREQUENCY"] = 0.0;  // unknown
  for (const char* k : {"ETHERNET_UPLOAD", "ETHERNET_DOWNLOAD", "WIFI_UPLOAD", "WIFI_DOWNLOAD"}) d[k] = 1.5;
  d["CPU_TEMPERATURE"] = 60;
  d["CPU_FANSPEED"] = 2055;
  d["GPU1_IDLE_STATUS"] = 1;
  d["GPU1_USAGE"] = -1;
  d["GPU1_FREQUENCY"] = 1500;
  MonitorHistory history;
  MonitorViewContext c;
  c.timestamp = "2026-12-09 20:00:00";
  c.source = "127.0.0.1:46753";
  c.system_max_clock = 2096.0;
  const auto view = RenderMonitorView(d, history, c);
  const std::string text = Joined(view);
  EXPECT_TRUE(Has(view, "2026-12-09 20:00:00")) << text;
  EXPECT_TRUE(Has(view, "usage 12.5 %")) << text;
  EXPECT_TRUE(Has(view, "max 2096 MHz")) << text;  // the system's figure, not the fixed 5000
  EXPECT_FALSE(Has(view, "5000")) << text;
  EXPECT_TRUE(Has(view, "core 0   2400.0 MHz")) << text;
  EXPECT_TRUE(Has(view, "core 1   n/a")) << text;
  EXPECT_TRUE(Has(view, "usage 40.8 %")) << text;
  EXPECT_TRUE(Has(view, "clock n/a")) << text;  // memory clock 0.0
  EXPECT_TRUE(Has(view, "up 1.5 Kib/s")) << text;
  EXPECT_TRUE(Has(view, "CPU 60 C ")) << text;
  EXPECT_TRUE(Has(view, "CPU 2055 RPM")) << text;
  EXPECT_TRUE(Has(view, "system n/a")) << text;
  EXPECT_TRUE(Has(view, "usage n/a")) << text;  // GPU -1
  EXPECT_TRUE(Has(view, "clock 1500 MHz")) << text;
  EXPECT_FALSE(Has(view, "not answering")) << text;
  EXPECT_FALSE(Has(view, "History")) << text;  // a single reading has none

  // Without the system's figure the agent's is shown for what it is.
  c.system_max_clock.reset();
  EXPECT_TRUE(Has(RenderMonitorView(d, history, c), "max 5000 MHz (agent's fixed figure)"));
}

TEST(AgentCtlFormat, MonitorViewWarnsWithoutHardwareAndLabelsTheSimulator) {
  // What the agent reports with the hardware service stopped.
  Json::Value d(Json::objectValue);
  d["CPU_USAGE"] = 0;
  d["CPU_FREQUENCY"] = 0;
  d["RAM_USAGE"] = 0;
  for (const char* k : {"ETHERNET_UPLOAD", "ETHERNET_DOWNLOAD", "WIFI_UPLOAD", "WIFI_DOWNLOAD"}) d[k] = 0;
  for (const char* k : {"GPU1_IDLE_STATUS", "GPU1_FREQUENCY", "GPU1_MAX_FREQUENCY", "GPU1_TEMPERATURE", "GPU1_USAGE"})
    d[k] = 0;
  MonitorViewContext c;
  const auto view = RenderMonitorView(d, MonitorHistory(), c);
  const std::string text = Joined(view);
  EXPECT_TRUE(HardwareReadingsMissing(d));
  EXPECT_TRUE(Has(view, "hardware service is not answering")) << text;
  EXPECT_FALSE(Has(view, "GPU1 0")) << text;
  EXPECT_FALSE(Has(view, " 0 MHz")) << text;
  EXPECT_FALSE(Has(view, "0.0 %")) << text;  // counters unavailable, not idle
  EXPECT_TRUE(Has(view, "up n/a")) << text;
  EXPECT_FALSE(Has(view, "SIMULATED")) << text;
  c.simulated_firmware = true;
  EXPECT_TRUE(Has(RenderMonitorView(d, MonitorHistory(), c), "SIMULATED"));
  EXPECT_FALSE(Has(view, "Control:")) << text;
  c.machine_control = "profile quiet, fan 1 manual 40 %";
  EXPECT_TRUE(Has(RenderMonitorView(d, MonitorHistory(), c), "Control: profile quiet, fan 1 manual 40 %"));
}

TEST(AgentCtlFormat, HistoryKeepsTheLastMinuteAndDrawsSparklines) {
  using namespace std::chrono_literals;
  MonitorHistory h;
  const auto t0 = MonitorHistory::Clock::now();
  Json::Value d(Json::objectValue);
  d["CPU_MAX_FREQUENCY"] = 5000;
  for (int i = 0; i < 90; ++i) {
    d["CPU_USAGE"] = static_cast<double>(i);
    if (i % 2 == 0) {
      d["CPU_TEMPERATURE"] = 40 + i;
    } else {
      d.removeMember("CPU_TEMPERATURE");  // a gap, not a zero
    }
    h.Add(t0 + std::chrono::seconds(i), d);
  }
  const std::vector<double> cpu = h.Series("cpu");
  ASSERT_EQ(cpu.size(), 61u);  // seconds 29..89
  EXPECT_EQ(cpu.front(), 29.0);
  EXPECT_EQ(cpu.back(), 89.0);
  for (double t : h.Series("cpu_temp")) EXPECT_GE(t, 40.0 + 29);
  EXPECT_TRUE(h.Series("gpu_fan").empty());

  EXPECT_EQ(Sparkline({0, 50, 100}, 10, false, 0.0, 100.0), "_=#");
  EXPECT_EQ(Sparkline({0, 100}, 10, true, 0.0, 100.0), "\xE2\x96\x81\xE2\x96\x88");
  EXPECT_EQ(Sparkline({7, 7, 7}, 10, false), "===") << "a flat series sits in the middle";
  EXPECT_EQ(Sparkline({5, 200}, 10, false, 0.0, 100.0), "_#") << "clamped to the scale";
  // More values than columns: averaged down to the width.
  std::vector<double> ramp;
  for (int i = 0; i < 120; ++i) ramp.push_back(i);
  const std::string line = Sparkline(ramp, 60, false);
  EXPECT_EQ(line.size(), 60u);
  EXPECT_EQ(line.front(), '_');
  EXPECT_EQ(line.back(), '#');
  EXPECT_EQ(Sparkline({}, 60, true), "");

  MonitorViewContext c;
  c.interval_seconds = 0.5;
  const auto view = RenderMonitorView(d, h, c);
  EXPECT_TRUE(Has(view, "every 0.5 s")) << Joined(view);
  EXPECT_TRUE(Has(view, "History (last 60 s)")) << Joined(view);
  EXPECT_TRUE(Has(view, "CPU usage")) << Joined(view);
  EXPECT_FALSE(Has(view, "GPU fan")) << Joined(view);

  EXPECT_EQ(RedrawPrefix(0), "");
  EXPECT_EQ(RedrawPrefix(12), "\r\x1b[12A\x1b[J");
}

TEST(AgentCtlFormat, Events) {
  Json::Value e = Object("Function", "PRESS_BRIGHTNESS_HOTKEY_BUTTON");
  e["Parameter"]["pressed_hotkey"] = 1;
  e["Parameter"]["brightness"] = 4;
  EXPECT_EQ(FormatEvent(e), "PRESS_BRIGHTNESS_HOTKEY_BUTTON brightness=4 pressed_hotkey=1");
}

struct CliRun {
  int status;
  std::string out, err;
};

CliRun Cli(const std::vector<std::string>& words) {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  const int status = RunCommandLine(GlobalOptions{}, words);
  CliRun r{status, ::testing::internal::GetCapturedStdout(), ::testing::internal::GetCapturedStderr()};
  return r;
}

size_t Lines(const std::string& s) { return static_cast<size_t>(std::count(s.begin(), s.end(), '\n')); }

// Usage errors end with 2 and a short message pointing at --help; help and
// the version print and end with 0; no command reaches a service here.
TEST(AgentCtlCommandLine, UsageHelpAndVersion) {
  struct Case {
    std::vector<std::string> words;
    int status;
    const char* hint;  // in the error text
  };
  const Case kUsage[] = {
      {{}, 2, "vantrelctl --help"},
      {{"bogus"}, 2, "vantrelctl --help"},
      {{"monitor", "--watch", "0"}, 2, "vantrelctl monitor --help"},
      {{"monitor", "--watch", "soon"}, 2, "vantrelctl monitor --help"},
      {{"monitor", "--bogus"}, 2, "vantrelctl monitor --help"},
      {{"version", "--port", "70000"}, 2, "--help"},
      {{"version", "--aes", "--key", "0123456789"}, 2, "vantrelctl version --help"},
      {{"version", "--key", "0123456789abcdef"}, 2, "--aes"},
      {{"hw"}, 2, "--help"},
      {{"hw", "reg", "get", "HKEY_LOCAL_MACHINE\\X"}, 2, "hw reg get --help"},
      {{"hw", "reg", "set", "K", "N", "dword", "many"}, 2, "hw reg set --help"},
      {{"hw", "fw", "GPUGetCount", "0"}, 2, "hw fw --help"},
      {{"hw", "gpu", "warp"}, 2, "hw gpu --help"},
      {{"hw", "raw", "nonsense"}, 2, "hw raw --help"},
  };
  for (const Case& c : kUsage) {
    const CliRun r = Cli(c.words);
    const std::string where = ::testing::PrintToString(c.words);
    EXPECT_EQ(r.status, c.status) << where;
    EXPECT_TRUE(r.out.empty()) << where << r.out;
    EXPECT_NE(r.err.find(c.hint), std::string::npos) << where << r.err;
    EXPECT_LE(Lines(r.err), 3u) << where << r.err;
  }

  // Under --json, wherever it stands, the error is JSON on standard output.
  for (const auto& words : {std::vector<std::string>{"--json", "bogus"}, {"monitor", "--watch", "0", "--json"}}) {
    const CliRun r = Cli(words);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.err.empty()) << r.err;
    Json::Value v;
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    ASSERT_TRUE(reader->parse(r.out.data(), r.out.data() + r.out.size(), &v, nullptr)) << r.out;
    EXPECT_EQ(v["ok"], false);
    EXPECT_EQ(v["error"], "usage");
  }

  CliRun r = Cli({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "vantrelctl " VANTREL_VERSION_STRING "\n");
  r = Cli({"monitor", "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("--watch"), std::string::npos) << r.out;
  r = Cli({"hw", "fw", "--help"});
  EXPECT_EQ(r.status, 0);
  for (const char* name : {"SetGamingFanGroupSpeed", "GetGamingFanTable", "GetGamingSystemInformation", "SetFunction"}) {
    EXPECT_NE(r.out.find(name), std::string::npos) << name << "\n" << r.out;
  }
  r = Cli({"help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Exit status"), std::string::npos) << r.out;
}

// Nothing listens: exit 1 with a hint; host names resolve.
TEST(AgentCtlCommandLine, NoAgentIsAFailureNotAUsageError) {
  const std::string port = std::to_string(vantrel::testing::FreeTcpPort());
  for (const char* host : {"127.0.0.1", "localhost"}) {
    const CliRun r = Cli({"--host", host, "version", "--port", port, "--timeout", "2"});
    EXPECT_EQ(r.status, 1) << host << r.err;
    EXPECT_EQ(r.err.find("not an IPv4 address"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("VantrelSysMonitorService running"), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace vantrel::ctl
