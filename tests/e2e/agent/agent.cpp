// The monitor agent end to end: the real program as a process, spoken to over
// TCP and over its event pipe, with the hardware service real or scripted and
// a scripted lighting service.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif
#include <json/json.h>

#include <cryptopp/aes.h>
#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/modes.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/agent_wire.h"
#include "common/names.h"
#include "common/pipe_transport.h"
#include "common/process.h"
#include "common/registry.h"
#include "common/text.h"
#include "common/win32_errors.h"
#include "netcore/os/socket_os.h"
#include "tests/support/test_env.h"

using namespace std::chrono_literals;
using vantrel::pipe::PipeArg;
using vantrel::pipe::PipeReply;
using vantrel::pipe::PipeRequest;
namespace names = vantrel::names;
namespace reg = vantrel::reg;

namespace {

#ifdef _WIN32
constexpr bool kNative = false;
#else
constexpr bool kNative = true;
#endif

// Blocking client of the agent's TCP protocol.
class TcpClient {
 public:
  ~TcpClient() { Close(); }
  bool Connect(uint16_t port) {
    netcore::os::NetInit();
    socket_ = netcore::os::TcpSocket(false);
    if (socket_ == netcore::kInvalidSocket) return false;
    if (netcore::os::Connect(socket_, false, "127.0.0.1", port) != 0) {
      Close();
      return false;
    }
    poll_ = netcore::os::EpollCreate();
    netcore::os::EpollCtl(poll_, netcore::EpollOp::kAdd, socket_, netcore::kEpollIn, nullptr);
    return true;
  }
  void Close() {
    if (poll_ != netcore::kInvalidEpoll) netcore::os::EpollClose(poll_);
    if (socket_ != netcore::kInvalidSocket) netcore::os::CloseSocket(socket_);
    poll_ = netcore::kInvalidEpoll;
    socket_ = netcore::kInvalidSocket;
  }
  bool Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      netcore::Iovec v{const_cast<char*>(bytes.data() + done), bytes.size() - done};
      int64_t n = netcore::os::WriteV(socket_, &v, 1);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // Waits up to `first` for bytes, then reads until the line is quiet for
  // `quiet`. nullopt when nothing came.
  std::optional<std::string> Receive(std::chrono::milliseconds first = 15s,
                                     std::chrono::milliseconds quiet = 150ms) {
    std::string got;
    std::chrono::milliseconds wait = first;
    for (;;) {
      netcore::ReadyEvent ev[1];
      if (netcore::os::EpollWait(poll_, ev, 1, static_cast<int>(wait.count())) <= 0) break;
      std::vector<char> buf(65536);
      netcore::Iovec v{buf.data(), buf.size()};
      int64_t n = netcore::os::ReadV(socket_, &v, 1);
      if (n <= 0) break;
      got.append(buf.data(), static_cast<size_t>(n));
      wait = quiet;
    }
    if (got.empty()) return std::nullopt;
    return got;
  }

 private:
  netcore::SocketHandle socket_ = netcore::kInvalidSocket;
  netcore::EpollHandle poll_ = netcore::kInvalidEpoll;
};

std::string Block(uint32_t command, const std::string& json) { return vantrel::agentwire::Request(command, json); }

Json::Value Parse(const std::string& text) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::string errors;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  if (!r->parse(text.data(), text.data() + text.size(), &v, &errors)) return Json::Value();
  return v;
}

// One state dir (registry) for the whole run.
vantrel::testing::ScopedTestEnv& Env() {
  static auto* env = new vantrel::testing::ScopedTestEnv();
  return *env;
}

const reg::Root kHklm = reg::Root::kLocalMachine;

void SetDword(const wchar_t* key, const wchar_t* value, uint32_t data) {
  reg::WriteDword(reg::SystemRegistry(), kHklm, key, value, data);
}
void DeleteValue(const wchar_t* key, const wchar_t* value) {
  reg::SystemRegistry().DeleteValue(kHklm, key, value);
}

// A scripted pipe service on its own thread.
class ScriptedPipe {
 public:
  ScriptedPipe(const std::wstring& name, std::vector<vantrel::pipe::PipeCommandHandler> table)
      : server_(name, std::move(table)), thread_([this] {
          try {
            server_.Run();
          } catch (...) {
          }
        }) {
    vantrel::testing::WaitFor(
        [&] {
          vantrel::pipe::PipeClient c(name);
          return c.Connect() == 0;
        },
        10s);
  }
  ~ScriptedPipe() {
    server_.Stop();
    thread_.join();
  }

 private:
  vantrel::pipe::PipeServer server_;
  std::thread thread_;
};

// A hardware service that answers every sensor (value = sensor id x 10, status
// 0), an idle state of `idle`, and GPU values; it counts the commands it got.
struct ScriptedHardware {
  std::atomic<int32_t> idle{1};
  std::mutex m;
  std::map<uint16_t, int> counts;
  std::unique_ptr<ScriptedPipe> pipe;

  explicit ScriptedHardware(const std::wstring& name) {
    std::vector<vantrel::pipe::PipeCommandHandler> t(13, &vantrel::pipe::dump_arguments);
    auto count = [this](uint16_t c) {
      std::lock_guard<std::mutex> l(m);
      counts[c]++;
    };
    t[7] = [count](const PipeRequest& r) -> PipeReply {
      count(7);
      uint32_t input = r.U32Arg(0);
      uint64_t out = static_cast<uint64_t>((input >> 8) * 10) << 8;
      auto v = vantrel::pipe::U64Bytes(out);
      return vantrel::pipe::build_pipe_reply({PipeArg{8, v.data()}});
    };
    t[9] = [this, count](const PipeRequest&) -> PipeReply {
      count(9);
      auto v = vantrel::pipe::U32Bytes(static_cast<uint32_t>(idle.load()));
      return vantrel::pipe::build_pipe_reply({PipeArg{4, v.data()}});
    };
    for (uint16_t c : {10, 11, 12}) {
      t[c] = [c, count](const PipeRequest&) -> PipeReply {
        count(c);
        auto v = vantrel::pipe::U32Bytes(c * 100u);
        return vantrel::pipe::build_pipe_reply({PipeArg{4, v.data()}});
      };
    }
    pipe = std::make_unique<ScriptedPipe>(name, std::move(t));
  }
  int Count(uint16_t c) {
    std::lock_guard<std::mutex> l(m);
    return counts[c];
  }
};

// The lighting service: a 50-byte device record and a brightness value.
std::unique_ptr<ScriptedPipe> ScriptedLighting(const std::wstring& name, std::string record, uint32_t brightness) {
  std::vector<vantrel::pipe::PipeCommandHandler> t(2, &vantrel::pipe::dump_arguments);
  t[1] = [record, brightness](const PipeRequest&) -> PipeReply {
    std::vector<uint8_t> rec(50, 0);
    std::memcpy(rec.data(), record.data(), std::min<size_t>(record.size(), 50));
    auto zero = vantrel::pipe::U32Bytes(0);
    auto one = vantrel::pipe::U32Bytes(1);
    auto level = vantrel::pipe::U32Bytes(brightness);
    std::vector<uint8_t> records(108, 0x5A);
    return vantrel::pipe::build_pipe_reply({PipeArg{4, zero.data()}, PipeArg{50, rec.data()},
                                            PipeArg{4, zero.data()}, PipeArg{4, one.data()},
                                            PipeArg{4, zero.data()}, PipeArg{4, level.data()},
                                            PipeArg{108, records.data()}});
  };
  return std::make_unique<ScriptedPipe>(name, std::move(t));
}

// One copy of the suite with its own instance suffix (pipes, mutex) and port.
class AgentE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    Env();
    instance_ = vantrel::testing::UniqueName(L"e2e");
    port_ = vantrel::testing::FreeTcpPort();
    DeleteValue(reg::kSuiteKey, L"SupportAES");
    DeleteValue(reg::kFanControlKey, L"SupportGPUFan2");
  }
  void TearDown() override {
    for (auto* p : {&agent_, &hardware_}) {
      if (!*p) continue;
      (*p)->RequestStop();
      if (!(*p)->Wait(10s)) (*p)->Kill();
    }
    DeleteValue(reg::kSuiteKey, L"SupportAES");
    DeleteValue(reg::kFanControlKey, L"SupportGPUFan2");
  }

  std::wstring Pipe(const wchar_t* base) const { return base + instance_; }

  std::map<std::wstring, std::wstring> ChildEnv() const {
    auto env = Env().ChildEnv();
    env[L"VANTREL_INSTANCE"] = instance_;
    env[L"VANTREL_AGENT_PORT"] = std::to_wstring(port_);
    if (!sysroot_.empty()) env[L"VANTREL_SYSROOT"] = std::wstring(sysroot_.begin(), sysroot_.end());
    return env;
  }

  std::string sysroot_;  // VANTREL_SYSROOT of the children when set

  std::unique_ptr<vantrel::proc::Process> StartAgentProcess() {
    return vantrel::proc::Process::Start(vantrel::testing::ProgramPath(L"VantrelSysMonitorService"), {},
                                         ChildEnv());
  }

  void StartAgent() {
    agent_ = StartAgentProcess();
    ASSERT_TRUE(agent_);
    ASSERT_TRUE(vantrel::testing::WaitFor(
        [&] {
          TcpClient c;
          return c.Connect(port_);
        },
        60s));
  }

  void StartHardwareService() {
    hardware_ = vantrel::proc::Process::Start(vantrel::testing::ProgramPath(L"VantrelSysHardwareService"), {},
                                              ChildEnv());
    ASSERT_TRUE(hardware_);
    ASSERT_TRUE(vantrel::testing::WaitFor(
        [&] {
          vantrel::pipe::PipeClient c(Pipe(names::kHardwarePipe));
          return c.Connect() == 0;
        },
        60s));
  }

  std::unique_ptr<TcpClient> Client() {
    auto c = std::make_unique<TcpClient>();
    EXPECT_TRUE(c->Connect(port_));
    // An answer means the accept was handled, so the client is in the table.
    EXPECT_EQ(Ask(*c, 0, R"({"Function":"VERSION"})")["result"].asString(), "0");
    return c;
  }

  Json::Value Ask(TcpClient& c, uint32_t command, const std::string& json) {
    EXPECT_TRUE(c.Send(Block(command, json)));
    auto reply = c.Receive();
    EXPECT_TRUE(reply);
    return reply ? Parse(*reply) : Json::Value();
  }

  Json::Value MonitorData(TcpClient& c) {
    Json::Value r = Ask(c, 10, "{}");
    EXPECT_EQ(r["request"].asString(), "GET_MONITOR_DATA");
    EXPECT_EQ(r["result"].asString(), "0");
    return r["data"];
  }

  uint32_t SendEvent(uint16_t command, std::vector<std::vector<uint8_t>> args, std::vector<uint8_t>* reply) {
    std::vector<PipeArg> a;
    for (auto& x : args) a.push_back({static_cast<uint32_t>(x.size()), x.data()});
    return vantrel::pipe::PipeTransact(Pipe(names::kAgentPipe), command, a, reply);
  }

  std::wstring instance_;
  uint16_t port_ = 0;
  std::unique_ptr<vantrel::proc::Process> agent_;
  std::unique_ptr<vantrel::proc::Process> hardware_;
};

std::vector<uint8_t> U32(uint32_t v) { return vantrel::pipe::U32Bytes(v); }

bool IsReal(const Json::Value& v) { return v.type() == Json::realValue; }
bool IsInt(const Json::Value& v) { return v.type() == Json::intValue || v.type() == Json::uintValue; }

}  // namespace

TEST_F(AgentE2E, VersionAndOneInstancePerSession) {
  StartAgent();
  TcpClient c;
  ASSERT_TRUE(c.Connect(port_));
  Json::Value r = Ask(c, 0, R"({"Function":"VERSION"})");
  EXPECT_EQ(r["request"].asString(), "VERSION");
  EXPECT_EQ(r["data"].asString(), VANTREL_VERSION_STRING);
  EXPECT_EQ(r["result"].asString(), "0");

  // A second agent in the same session ends at once with 0.
  auto second = StartAgentProcess();
  ASSERT_TRUE(second);
  auto code = second->Wait(30s);
  ASSERT_TRUE(code);
  EXPECT_EQ(*code, 0);

  // Closing the window (Linux: SIGTERM) ends the agent with 0.
  agent_->RequestStop();
  code = agent_->Wait(15s);
  ASSERT_TRUE(code);
  EXPECT_EQ(*code, 0);
  agent_.reset();
}

TEST_F(AgentE2E, MonitorDataKeysAndTypes) {
  ScriptedHardware hw(Pipe(names::kHardwarePipe));
  StartAgent();
  auto c = Client();
  Json::Value d = MonitorData(*c);
  for (const char* k : {"ETHERNET_UPLOAD", "ETHERNET_DOWNLOAD", "WIFI_UPLOAD", "WIFI_DOWNLOAD"})
    EXPECT_TRUE(IsReal(d[k]) || (IsInt(d[k]) && d[k].asInt() == 0)) << k;
  const bool counters = d.isMember("CPU_CORE_AMOUNT");
  if (kNative) {
    EXPECT_TRUE(counters) << d.toStyledString();
  }
  if (counters) {
    for (const char* k : {"CPU_FREQUENCY", "CPU_USAGE", "RAM_USAGE", "RAM_TOTAL", "RAM_FREQUENCY"})
      EXPECT_TRUE(IsReal(d[k])) << k;
    EXPECT_TRUE(IsInt(d["CPU_MAX_FREQUENCY"]));
    EXPECT_EQ(d["CPU_MAX_FREQUENCY"].asInt(), 5000);
    EXPECT_TRUE(IsInt(d["CPU_CORE_AMOUNT"]));
    EXPECT_EQ(d["CPU_CORE_AMOUNT"].asUInt(), std::thread::hardware_concurrency());
    ASSERT_TRUE(d["CPU_CORE_FREQUENCY"].isArray());
    EXPECT_EQ(d["CPU_CORE_FREQUENCY"].size(), std::thread::hardware_concurrency());
    for (const auto& f : d["CPU_CORE_FREQUENCY"]) EXPECT_TRUE(IsReal(f));
    if (kNative) {
      EXPECT_GT(d["RAM_TOTAL"].asDouble(), 0.0);
    }
  } else {
    // Counters unavailable (Wine's PDH lacks the processor information set).
    for (const char* k : {"CPU_FREQUENCY", "CPU_USAGE", "RAM_USAGE"}) {
      EXPECT_TRUE(IsInt(d[k])) << k;
      EXPECT_EQ(d[k].asInt(), 0) << k;
    }
    for (const char* k : {"CPU_MAX_FREQUENCY", "RAM_TOTAL", "RAM_FREQUENCY", "CPU_CORE_FREQUENCY"})
      EXPECT_FALSE(d.isMember(k)) << k;
  }
  // Sensors x 10 from the script; the GPU block queried because idle is 1.
  std::map<std::string, int> ints = {{"CPU_TEMPERATURE", 10},   {"SYS1_TEMPERATURE", 30},
                                     {"CPU_FANSPEED", 20},      {"SYS1_FANSPEED", 20},
                                     {"GPU1_IDLE_STATUS", 1},   {"GPU1_FANSPEED", 60},
                                     {"GPU1_TEMPERATURE", 100}, {"GPU1_FREQUENCY", 1000},
                                     {"GPU1_MAX_FREQUENCY", 1100}, {"GPU1_USAGE", 1200}};
  for (const auto& [k, v] : ints) {
    EXPECT_TRUE(IsInt(d[k])) << k;
    EXPECT_EQ(d[k].asInt(), v) << k;
  }
  EXPECT_FALSE(d.isMember("GPU2_FANSPEED"));
  EXPECT_EQ(d.size(), counters ? 22u : 17u) << d.toStyledString();

  // Idle state 0: no GPU value query at all, the block reads 0.
  hw.idle = 0;
  const int frequency_queries = hw.Count(10) + hw.Count(11) + hw.Count(12);
  d = MonitorData(*c);
  EXPECT_EQ(hw.Count(10) + hw.Count(11) + hw.Count(12), frequency_queries);
  for (const char* k : {"GPU1_IDLE_STATUS", "GPU1_FREQUENCY", "GPU1_MAX_FREQUENCY", "GPU1_TEMPERATURE", "GPU1_USAGE"})
    EXPECT_EQ(d[k].asInt(), 0) << k;
  EXPECT_EQ(d["GPU1_FANSPEED"].asInt(), 60);
}

TEST_F(AgentE2E, HardwareServiceStopped) {
  StartAgent();
  auto c = Client();
  Json::Value d = MonitorData(*c);
  for (const char* k : {"CPU_TEMPERATURE", "CPU_FANSPEED", "SYS1_TEMPERATURE", "SYS1_FANSPEED", "GPU1_FANSPEED",
                        "GPU2_FANSPEED"})
    EXPECT_FALSE(d.isMember(k)) << k;
  for (const char* k : {"GPU1_IDLE_STATUS", "GPU1_FREQUENCY", "GPU1_MAX_FREQUENCY", "GPU1_TEMPERATURE", "GPU1_USAGE"}) {
    EXPECT_TRUE(IsInt(d[k])) << k;
    EXPECT_EQ(d[k].asInt(), 0) << k;
  }
}

TEST_F(AgentE2E, RealHardwareServiceOnSimulatedFirmware) {
  Env().WritePlatformConfig("sim");
  StartHardwareService();
  StartAgent();
  auto c = Client();
  Json::Value d = MonitorData(*c);
  if (kNative) {
    for (const char* k : {"CPU_TEMPERATURE", "CPU_FANSPEED", "SYS1_TEMPERATURE", "SYS1_FANSPEED", "GPU1_FANSPEED"}) {
      EXPECT_TRUE(IsInt(d[k])) << k << d.toStyledString();
      EXPECT_GT(d[k].asInt(), 0) << k;
    }
  }
  EXPECT_TRUE(IsInt(d["GPU1_IDLE_STATUS"]));
}

TEST_F(AgentE2E, RealHardwareServiceOnLinuxFirmwareReportsProfileAndFans) {
  if (!kNative) GTEST_SKIP() << "the \"linux\" firmware backend is the Linux build's";
  namespace fs = std::filesystem;
  sysroot_ = Env().root() + "/sysroot-control";
  const auto put = [&](const std::string& path, const std::string& value) {
    fs::create_directories(fs::path(sysroot_ + path).parent_path());
    std::ofstream(sysroot_ + path) << value << "\n";
  };
  put("/sys/firmware/acpi/platform_profile", "performance");
  put("/sys/firmware/acpi/platform_profile_choices", "low-power balanced performance");
  put("/sys/class/hwmon/hwmon1/name", "thinkpad");
  put("/sys/class/hwmon/hwmon1/pwm1", "102");
  put("/sys/class/hwmon/hwmon1/pwm1_enable", "1");
  Env().WritePlatformConfig("linux");
  StartHardwareService();
  StartAgent();
  auto c = Client();
  Json::Value d = MonitorData(*c);
  EXPECT_EQ(d["PROFILE"].asString(), "performance") << d.toStyledString();
  EXPECT_EQ(d["FAN1_MODE"].asString(), "manual");
  EXPECT_TRUE(IsInt(d["FAN1_DUTY"]));
  EXPECT_EQ(d["FAN1_DUTY"].asInt(), 40);

  // Another backend's words are never read as these.
  hardware_->RequestStop();
  ASSERT_TRUE(hardware_->Wait(10s));
  Env().WritePlatformConfig("sim");
  StartHardwareService();
  EXPECT_TRUE(vantrel::testing::WaitFor([&] { return !MonitorData(*c).isMember("PROFILE"); }, 10s));
  EXPECT_FALSE(MonitorData(*c).isMember("FAN1_MODE"));
}

TEST_F(AgentE2E, SecondGpuFanStaysOnOnceSeen) {
  ScriptedHardware hw(Pipe(names::kHardwarePipe));
  StartAgent();
  auto c = Client();
  EXPECT_FALSE(MonitorData(*c).isMember("GPU2_FANSPEED"));
  SetDword(reg::kFanControlKey, L"SupportGPUFan2", 1);
  Json::Value d = MonitorData(*c);
  EXPECT_EQ(d["GPU2_FANSPEED"].asInt(), 90);  // sensor 9
  DeleteValue(reg::kFanControlKey, L"SupportGPUFan2");
  EXPECT_EQ(MonitorData(*c)["GPU2_FANSPEED"].asInt(), 90);
}

TEST_F(AgentE2E, TwoClientsAnsweredInOnePass) {
  StartAgent();
  auto a = Client();
  auto b = Client();
  // A first report pays for the counters' start-up (slow under Wine) and
  // ends a pass; the two requests are then sent right after it, so both
  // wait for the same next one.
  MonitorData(*b);
  ASSERT_TRUE(a->Send(Block(vantrel::agentwire::kCommandInitialization, R"({"Function":"VERSION"})")));
  ASSERT_TRUE(b->Send(Block(vantrel::agentwire::kCommandGetMonitorData, "{}")));
  auto ra = a->Receive(15s, 10ms);
  auto at = std::chrono::steady_clock::now();
  auto rb = b->Receive(15s, 10ms);
  auto bt = std::chrono::steady_clock::now();
  ASSERT_TRUE(ra && rb);
  EXPECT_EQ(Parse(*ra)["request"].asString(), "VERSION");
  EXPECT_EQ(Parse(*rb)["request"].asString(), "GET_MONITOR_DATA");
  EXPECT_LT(bt - at, 400ms);  // the same pass, not the next one 500 ms later
}

TEST_F(AgentE2E, BackToBackRequestsAreOneMessage) {
  StartAgent();
  auto c = Client();
  ASSERT_TRUE(c->Send(Block(vantrel::agentwire::kCommandInitialization, R"({"Function":"VERSION"})") + Block(vantrel::agentwire::kCommandGetMonitorData, "{}")));
  auto reply = c->Receive(15s, 1500ms);  // three passes: a second reply would show
  ASSERT_TRUE(reply);
  Json::Value r = Parse(*reply);
  EXPECT_EQ(r["request"].asString(), "VERSION") << *reply;
  EXPECT_EQ(reply->find("GET_MONITOR_DATA"), std::string::npos);
}

TEST_F(AgentE2E, ReadPassCutAtMessageCapacity) {
  StartAgent();
  auto c = Client();
  constexpr size_t kCapacity = 32288;
  // The first 32,288 bytes are a whole request; a request after them is discarded.
  std::string first = Block(vantrel::agentwire::kCommandInitialization, R"({"Function":"VERSION"})");
  first.resize(kCapacity, ' ');
  ASSERT_TRUE(c->Send(first + Block(vantrel::agentwire::kCommandInitialization, R"({"Function":"SUPPORT_SYSTEM_CAPABILITY"})") + std::string(5000, ' ')));
  auto reply = c->Receive(15s, 1500ms);
  ASSERT_TRUE(reply);
  EXPECT_EQ(Parse(*reply)["request"].asString(), "VERSION") << *reply;
  EXPECT_EQ(reply->find("SUPPORT_SYSTEM_CAPABILITY"), std::string::npos);

  // A JSON text that closes only after the cut no longer parses.
  std::string spanning = Block(vantrel::agentwire::kCommandInitialization, R"({"Function":"VERSION","pad":")") + std::string(40000, 'a') + "\"}";
  ASSERT_TRUE(c->Send(spanning));
  reply = c->Receive(15s, 1500ms);
  ASSERT_TRUE(reply);
  EXPECT_EQ(Parse(*reply)["result"].asString(), "3") << *reply;
}

namespace {

std::string Encrypt(const std::string& plain) {
  const std::string key = "5931742068153924";
  CryptoPP::ECB_Mode<CryptoPP::AES>::Encryption e(reinterpret_cast<const CryptoPP::byte*>(key.data()), key.size());
  std::string out;
  CryptoPP::StringSource s(plain, true,
                           new CryptoPP::StreamTransformationFilter(e, new CryptoPP::StringSink(out)));
  return out;
}

std::string DecryptBase64(const std::string& text) {
  const std::string key = "5931742068153924";
  CryptoPP::ECB_Mode<CryptoPP::AES>::Decryption d(reinterpret_cast<const CryptoPP::byte*>(key.data()), key.size());
  std::string out;
  CryptoPP::StringSource s(
      text, true,
      new CryptoPP::Base64Decoder(new CryptoPP::StreamTransformationFilter(d, new CryptoPP::StringSink(out))));
  return out;
}

}  // namespace

TEST_F(AgentE2E, CipherOnRepliesInBase64AndEventsStayPlain) {
  StartAgent();
  auto c = Client();
  SetDword(reg::kSuiteKey, L"SupportAES", 1);
  ASSERT_TRUE(c->Send(Encrypt(Block(vantrel::agentwire::kCommandInitialization, R"({"Function":"VERSION"})"))));
  auto reply = c->Receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->find('{'), std::string::npos);  // nothing in clear
  Json::Value r = Parse(DecryptBase64(*reply));
  EXPECT_EQ(r["data"].asString(), VANTREL_VERSION_STRING);

  ASSERT_TRUE(c->Send(Encrypt(Block(vantrel::agentwire::kCommandGetMonitorData, "{}"))));
  reply = c->Receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(Parse(DecryptBase64(*reply))["result"].asString(), "0");

  // A plain request with the cipher on is answered in plain text.
  EXPECT_EQ(Ask(*c, 0, R"({"Function":"VERSION"})")["result"].asString(), "0");

  std::vector<uint8_t> pipe_reply;
  ASSERT_EQ(SendEvent(3, {U32(1)}, &pipe_reply), 0u);
  auto note = c->Receive();
  ASSERT_TRUE(note);
  Json::Value n = Parse(*note);
  EXPECT_EQ(n["Function"].asString(), "ADAPTOR_CHANGED") << *note;
  EXPECT_EQ(n["Parameter"]["status"].asUInt(), 1u);
}

TEST_F(AgentE2E, EventRelay) {
  StartAgent();
  auto a = Client();
  auto b = Client();

  std::vector<uint8_t> reply;
  ASSERT_EQ(SendEvent(1, {U32(1), U32(0), U32(1)}, &reply), 0u);
  EXPECT_EQ(reply, (std::vector<uint8_t>{1, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  const std::string turbo =
      "{\n\t\"Function\" : \"PRESS_TURBO_BUTTON\",\n\t\"Parameter\" : \n\t{\n\t\t\"Mode\" : 1,\n"
      "\t\t\"operating_mode_enable\" : 0,\n\t\t\"turbo_button_status\" : 1\n\t}\n}\n";
  EXPECT_EQ(a->Receive().value_or(""), turbo);
  EXPECT_EQ(b->Receive().value_or(""), turbo);

  // Brightness hotkey: the level comes from the lighting service, per client.
  {
    auto lighting = ScriptedLighting(Pipe(names::kLightingPipe), "VantrelEC keyboard", 75);
    ASSERT_EQ(SendEvent(2, {U32(2)}, &reply), 0u);
    EXPECT_EQ(Parse(a->Receive().value_or(""))["Parameter"]["brightness"].asInt(), 4);
    EXPECT_EQ(Parse(b->Receive().value_or(""))["Parameter"]["brightness"].asInt(), 4);
  }
  {
    auto lighting = ScriptedLighting(Pipe(names::kLightingPipe), "other board", 37);
    ASSERT_EQ(SendEvent(2, {U32(2)}, &reply), 0u);
    EXPECT_EQ(Parse(a->Receive().value_or(""))["Parameter"]["brightness"].asInt(), 4);
    b->Receive();
  }
  // No lighting service: "brightness" left out.
  ASSERT_EQ(SendEvent(2, {U32(9)}, &reply), 0u);
  Json::Value n = Parse(a->Receive().value_or(""));
  EXPECT_EQ(n["Function"].asString(), "PRESS_BRIGHTNESS_HOTKEY_BUTTON");
  EXPECT_EQ(n["Parameter"]["pressed_hotkey"].asUInt(), 9u);
  EXPECT_FALSE(n["Parameter"].isMember("brightness"));
  b->Receive();

  // Command 7 ends the reporter's connection: no reply, no notification.
  vantrel::pipe::PipeClient reporter(Pipe(names::kAgentPipe));
  ASSERT_EQ(reporter.Connect(), 0u);
  auto u = U32(1);
  ASSERT_EQ(vantrel::pipe::send_pipe_message(reporter, 7, {PipeArg{4, u.data()}}), 0u);
  std::vector<uint8_t> none;
  EXPECT_NE(reporter.ReadMessage(&none), 0u);
  EXPECT_FALSE(a->Receive(700ms));
}

// The port taken when the agent starts (here by a listener; in the field by
// an outgoing connection's source port): the agent keeps trying and serves
// soon after the port is freed.
TEST_F(AgentE2E, TakenPortIsServedSoonAfterItIsFreed) {
  netcore::os::NetInit();
  netcore::SocketHandle holder = netcore::os::TcpSocket(false);
  ASSERT_NE(holder, netcore::kInvalidSocket);
  ASSERT_TRUE(netcore::os::Bind(holder, false, "127.0.0.1", port_));
  ASSERT_TRUE(netcore::os::Listen(holder, 4));
  agent_ = StartAgentProcess();
  ASSERT_TRUE(agent_);
  std::this_thread::sleep_for(3s);
  ASSERT_TRUE(agent_->Running()) << "the agent must wait for its port, not end";
  netcore::os::CloseSocket(holder);

  const auto freed = std::chrono::steady_clock::now();
  const auto deadline = freed + 5s;
  bool answered = false;
  while (!answered && std::chrono::steady_clock::now() < deadline) {
    TcpClient c;
    if (!c.Connect(port_)) {
      std::this_thread::sleep_for(50ms);
      continue;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !c.Send(Block(vantrel::agentwire::kCommandInitialization, R"({"Function":"VERSION"})"))) break;
    const auto reply = c.Receive(left);
    answered = reply && Parse(*reply)["data"].asString() == VANTREL_VERSION_STRING;
  }
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - freed);
  EXPECT_TRUE(answered) << "no VERSION reply within 5 s of the port's release";
  RecordProperty("answered_after_ms", std::to_string(took.count()));
}

// The per-request lines on standard output: none for a service whose stdout
// is the journal, all of them once the diagnostic log is switched on.
TEST_F(AgentE2E, RequestLinesOnStdoutOnlyWithTheLogSwitch) {
  if (!kNative) GTEST_SKIP() << "Windows keeps them: a GUI program's stdout leads nowhere";
  const std::string out_file = Env().root() + "/agent-stdout-" + vantrel::text::ToUtf8(instance_);
  auto run_once = [&](bool log_on) {
    if (log_on) {
      reg::WriteDword(reg::SystemRegistry(), kHklm, reg::kLogKey, L"VantrelAgentService", 1);
    } else {
      DeleteValue(reg::kLogKey, L"VantrelAgentService");
    }
    const std::wstring agent = vantrel::testing::ProgramPath(L"VantrelSysMonitorService");
    agent_ = vantrel::proc::Process::Start(
        L"/bin/sh", {L"-c", L"exec '" + agent + L"' >'" + vantrel::text::FromUtf8(out_file) + L"'"}, ChildEnv());
    ASSERT_TRUE(agent_);
    ASSERT_TRUE(vantrel::testing::WaitFor(
        [&] {
          TcpClient c;
          return c.Connect(port_);
        },
        60s));
    auto c = Client();
    MonitorData(*c);
    agent_->RequestStop();
    EXPECT_TRUE(agent_->Wait(15s));
    agent_.reset();
  };
  auto read_all = [&] {
    std::ifstream in(out_file);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  run_once(false);
  EXPECT_EQ(read_all().find("[ReadFunc]"), std::string::npos) << read_all();
  run_once(true);
  DeleteValue(reg::kLogKey, L"VantrelAgentService");
  const std::string lines = read_all();
  EXPECT_NE(lines.find("[ReadFunc]\nRead size : "), std::string::npos) << lines;
  EXPECT_NE(lines.find("[ConnectFunc] : ip: 127.0.0.1"), std::string::npos) << lines;
}

// --help and --version print and end with 0 instead of starting the program.
TEST_F(AgentE2E, ProgramsPrintVersionAndHelp) {
  auto run = [](const std::wstring& program, const char* argument) {
    const std::string path = vantrel::text::ToUtf8(vantrel::testing::ProgramPath(program));
#ifdef _WIN32
    FILE* pipe = _popen(("\"\"" + path + "\" " + argument + "\"").c_str(), "r");
#else
    FILE* pipe = popen(("'" + path + "' " + argument).c_str(), "r");
#endif
    std::pair<int, std::string> result{-1, ""};
    if (pipe == nullptr) return result;
    char buffer[1024];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.second.append(buffer, n);
#ifdef _WIN32
    result.first = _pclose(pipe);
#else
    const int status = pclose(pipe);
    result.first = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    return result;
  };
  for (const auto& [program, name] : {std::pair<std::wstring, std::string>{L"VantrelSysMonitorService",
                                                                           "VantrelSysMonitorService"},
                                      {L"VantrelSysHardwareService", "VantrelSysHardwareService"}}) {
    EXPECT_EQ(run(program, "--version"), std::make_pair(0, name + " " VANTREL_VERSION_STRING "\n"));
    const auto [status, help] = run(program, "--help");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(help.rfind(name + ": ", 0), 0u) << help;
    EXPECT_NE(help.find("--version"), std::string::npos) << help;
  }
}
