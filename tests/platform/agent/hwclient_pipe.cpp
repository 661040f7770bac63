// The agent's hardware-service and lighting-service clients over real pipes:
// a scripted server for replies the real service never gives, the real
// hardware service program, and no server at all.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <cstring>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "agent/hwclient/hardware_client.h"
#include "agent/protocol/client_message.h"
#include "common/names.h"
#include "common/pipe_transport.h"
#include "common/process.h"
#include "common/registry.h"
#include "common/text.h"
#include "hardware/commands/command_processor.h"
#include "tests/support/test_env.h"

namespace vantrel::agent {
namespace {

using pipe::PipeArg;
using pipe::PipeReply;
using pipe::PipeRequest;

enum class Shape { kNormal, kShort, kLong };

// What the scripted hardware service answers, and what it was asked.
struct Script {
  std::mutex mutex;
  std::map<uint32_t, uint64_t> sysinfo;  // input -> 64-bit output
  Shape shape = Shape::kNormal;
  uint32_t idle_state = 1;
  std::map<uint16_t, int32_t> gpu;  // command -> value
  std::vector<uint32_t> inputs;
  std::vector<uint32_t> gpu_indices;
};

PipeReply Shaped(Shape shape, const std::vector<uint8_t>& value) {
  std::vector<uint8_t> v = value;
  if (shape == Shape::kShort) v.resize(v.size() / 2);
  if (shape == Shape::kLong) v.resize(v.size() + 4, 0);
  return pipe::build_pipe_reply({PipeArg{static_cast<uint32_t>(v.size()), v.data()}});
}

class ScriptedServer {
 public:
  ScriptedServer(const std::wstring& base, std::vector<pipe::PipeCommandHandler> table)
      : server_(base, std::move(table)), thread_([this] {
          try {
            server_.Run();
          } catch (...) {
          }
        }) {}
  ~ScriptedServer() {
    server_.Stop();
    thread_.join();
  }

 private:
  pipe::PipeServer server_;
  std::thread thread_;
};

// Ready once a whole transaction went through: a bare connect-and-close can
// come back before the server has put up the instance for the next client.
bool PipeAnswers(const std::wstring& base) {
  std::vector<uint8_t> reply;
  return pipe::PipeTransact(base, 0, {}, &reply) == 0;
}

class HwClientPipe : public ::testing::Test {
 protected:
  void SetUp() override {
    ForgetCapabilityForTesting();
    std::vector<pipe::PipeCommandHandler> table(velmont::kHardwareCommandSlots, &pipe::dump_arguments);
    table[velmont::kSvcCmdWMIGetGamingSystemInformation] = [this](const PipeRequest& r) -> PipeReply {
      std::lock_guard lock(script_.mutex);
      const uint32_t input = r.U32Arg(0);
      script_.inputs.push_back(input);
      auto it = script_.sysinfo.find(input);
      return Shaped(script_.shape, pipe::U64Bytes(it == script_.sysinfo.end() ? 0xFFFFFFFFull : it->second));
    };
    table[velmont::kSvcCmdGPUGetIdleState] = [this](const PipeRequest&) -> PipeReply {
      std::lock_guard lock(script_.mutex);
      return Shaped(script_.shape, pipe::U32Bytes(script_.idle_state));
    };
    for (uint16_t c : {velmont::kSvcCmdGPUGetFrequency, velmont::kSvcCmdGPUGetMaxFrequency, velmont::kSvcCmdGPUGetUsage}) {
      table[c] = [this, c](const PipeRequest& r) -> PipeReply {
        std::lock_guard lock(script_.mutex);
        script_.gpu_indices.push_back(r.U32Arg(0));
        return Shaped(script_.shape, pipe::U32Bytes(static_cast<uint32_t>(script_.gpu[c])));
      };
    }
    server_ = std::make_unique<ScriptedServer>(names::Instance(names::kHardwarePipe), std::move(table));
    ASSERT_TRUE(testing::WaitFor([] { return PipeAnswers(names::Instance(names::kHardwarePipe)); },
                                 std::chrono::seconds(10)));
  }
  void TearDown() override { server_.reset(); }

  // Script changes go under the server's lock: the pipe orders them for us,
  // but not visibly to the thread sanitizer.
  template <class F>
  void Edit(F f) {
    std::lock_guard lock(script_.mutex);
    f(script_);
  }
  void SetShape(Shape s) {
    std::lock_guard lock(script_.mutex);
    script_.shape = s;
  }
  std::vector<uint32_t> Inputs() {
    std::lock_guard lock(script_.mutex);
    return script_.inputs;
  }

  testing::ScopedTestEnv env_;
  testing::ScopedEnvVar instance_{"VANTREL_INSTANCE", text::ToUtf8(testing::UniqueName(L"hwc"))};
  Script script_;
  std::unique_ptr<ScriptedServer> server_;
};

TEST_F(HwClientPipe, SensorReadersSendTheirInputsAndDecode) {
  Edit([](Script& s) { s.sysinfo = {{0x0101, 0x3C00}, {0x0301, 0x2D00}, {0x0201, 0x0BB800}, {0x0801, 0x0A2800},
                     {0x0901, 0x0C1C00}, {0x0A01, 0x4400}, {0x1401, 0x0100}}; });
  int32_t v = -1;
  EXPECT_TRUE(TXSocket::Get_CPU_Temprature(v));
  EXPECT_EQ(v, 60);
  EXPECT_TRUE(TXSocket::Get_System_Temprature(v));
  EXPECT_EQ(v, 45);
  EXPECT_TRUE(TXSocket::Get_CPU_FanSpeed(v));
  EXPECT_EQ(v, 3000);
  v = -1;
  EXPECT_TRUE(TXSocket::Get_SYS1_FanSpeed(v));
  EXPECT_EQ(v, 3000);
  EXPECT_TRUE(TXSocket::Get_SYS2_FanSpeed(v));
  EXPECT_EQ(v, 2600);
  EXPECT_TRUE(TXSocket::Get_GPU_FanSpeed(v, 1));
  EXPECT_EQ(v, 3100);
  EXPECT_TRUE(TXSocket::Get_GPU_Temprature(v, 0));
  EXPECT_EQ(v, 68);
  EXPECT_TRUE(TXSocket::Get_GPU_FanSpeed(v, 3));
  EXPECT_EQ(v, 1);
  EXPECT_EQ(Inputs(), (std::vector<uint32_t>{0x0101, 0x0301, 0x0201, 0x0201, 0x0801, 0x0901, 0x0A01, 0x1401}));

  // Indices outside 0-3 send nothing.
  EXPECT_FALSE(TXSocket::Get_GPU_FanSpeed(v, 4));
  EXPECT_FALSE(TXSocket::Get_GPU_Temprature(v, -1));
  EXPECT_EQ(Inputs().size(), 8u);
}

TEST_F(HwClientPipe, NonZeroStatusLeavesTheValueUntouched) {
  Edit([](Script& s) { s.sysinfo = {{0x0101, 0x3C01}, {0x0301, 0x2D80}}; });
  int32_t v = 7;
  EXPECT_FALSE(TXSocket::Get_CPU_Temprature(v));
  EXPECT_FALSE(TXSocket::Get_System_Temprature(v));
  EXPECT_EQ(v, 7);
}

TEST_F(HwClientPipe, CapabilityWordThroughTheProtocol) {
  Edit([](Script& s) { s.sysinfo = {{0, 0x000000ABCD000000ull}}; });
  const std::string body = R"({"Function": "SUPPORT_SYSTEM_CAPABILITY"})";
  std::vector<uint8_t> block = {'V', 'N', 'T', 'L', 0, 0, 0, 0};
  block.insert(block.end(), body.begin(), body.end());
  EXPECT_EQ(ProcessClientBlock(block.data(), static_cast<uint32_t>(block.size())),
            std::optional<std::string>(
                "{\n\t\"data\" : 43981,\n\t\"request\" : \"SUPPORT_SYSTEM_CAPABILITY\",\n\t\"result\" : \"0\"\n}\n"));

  // Kept once read: the firmware's word does not change under the agent.
  Edit([](Script& s) { s.sysinfo = {{0, 0x0000001234000000ull}}; });
  EXPECT_EQ(ProcessClientBlock(block.data(), static_cast<uint32_t>(block.size())),
            std::optional<std::string>(
                "{\n\t\"data\" : 43981,\n\t\"request\" : \"SUPPORT_SYSTEM_CAPABILITY\",\n\t\"result\" : \"0\"\n}\n"));

  ForgetCapabilityForTesting();
  Edit([](Script& s) { s.sysinfo = {{0, 0x000000ABCD000002ull}}; });
  EXPECT_EQ(ProcessClientBlock(block.data(), static_cast<uint32_t>(block.size())),
            std::optional<std::string>("{\n\t\"request\" : \"SUPPORT_SYSTEM_CAPABILITY\"\n}\n"));
}

TEST_F(HwClientPipe, GpuQueries) {
  Edit([](Script& s) { s.idle_state = 1; });
  Edit([](Script& s) { s.gpu = {{velmont::kSvcCmdGPUGetFrequency, 1500},
                 {velmont::kSvcCmdGPUGetMaxFrequency, 2100},
                 {velmont::kSvcCmdGPUGetUsage, 37}}; });
  EXPECT_EQ(TXSocket::Get_GPU_Idle_State(), 1);
  int32_t v = 0;
  EXPECT_TRUE(TXSocket::Get_GPU_Frequency(v, 0));
  EXPECT_EQ(v, 1500);
  EXPECT_TRUE(TXSocket::Get_GPU_Max_Frequency(v, 1));
  EXPECT_EQ(v, 2100);
  EXPECT_TRUE(TXSocket::Get_GPU_Usage(v, 2));
  EXPECT_EQ(v, 37);
  std::lock_guard lock(script_.mutex);
  EXPECT_EQ(script_.gpu_indices, (std::vector<uint32_t>{0, 1, 2}));
}

TEST_F(HwClientPipe, RepliesOfTheWrongSizeFail) {
  Edit([](Script& s) { s.sysinfo = {{0x0101, 0x3C00}}; });
  Edit([](Script& s) { s.gpu = {{velmont::kSvcCmdGPUGetUsage, 37}}; });
  for (Shape s : {Shape::kShort, Shape::kLong}) {
    SetShape(s);
    EXPECT_EQ(QueryGamingSysInfo(0x0101), kSysInfoFailure);
    int32_t v = 5;
    EXPECT_FALSE(TXSocket::Get_CPU_Temprature(v));
    EXPECT_EQ(v, 5);
    EXPECT_EQ(TXSocket::Get_GPU_Idle_State(), -1);
    // A failed GPU transaction is a value of -1, not a failed read.
    EXPECT_TRUE(TXSocket::Get_GPU_Usage(v, 0));
    EXPECT_EQ(v, -1);
  }
  SetShape(Shape::kNormal);
  EXPECT_EQ(QueryGamingSysInfo(0x0101), 0x3C00u);
}

TEST_F(HwClientPipe, ReadersRunInParallel) {
  Edit([](Script& s) { s.sysinfo = {{0x0101, 0x3C00}, {0x0201, 0x0BB800}, {0x0301, 0x2D00}, {0x0601, 0x0FA000}}; });
  Edit([](Script& s) { s.gpu = {{velmont::kSvcCmdGPUGetUsage, 12}}; });
  std::vector<std::future<std::pair<bool, int32_t>>> tasks;
  for (int round = 0; round < 8; ++round) {
    tasks.push_back(std::async(std::launch::async, [] { int32_t v = -1; bool ok = TXSocket::Get_CPU_Temprature(v); return std::pair(ok, v); }));
    tasks.push_back(std::async(std::launch::async, [] { int32_t v = -1; bool ok = TXSocket::Get_CPU_FanSpeed(v); return std::pair(ok, v); }));
    tasks.push_back(std::async(std::launch::async, [] { int32_t v = -1; bool ok = TXSocket::Get_GPU_FanSpeed(v, 0); return std::pair(ok, v); }));
    tasks.push_back(std::async(std::launch::async, [] { int32_t v = -1; bool ok = TXSocket::Get_GPU_Usage(v, 0); return std::pair(ok, v); }));
  }
  const int32_t expected[] = {60, 3000, 4000, 12};
  for (size_t i = 0; i < tasks.size(); ++i) {
    EXPECT_EQ(tasks[i].get(), std::pair(true, expected[i % 4])) << i;
  }
}

// The outside lighting service, scripted.
std::vector<uint8_t> LightingReplyBytes(uint32_t count, size_t extra_bytes) {
  const uint32_t one = 1, a3 = 0x33, a5 = 0x55, brightness = 75;
  char record[50] = "Lighting VantrelEC";
  std::vector<uint8_t> records(count * kLightingRecordSize + extra_bytes, 0xAB);
  const PipeArg args[] = {{4, &one},  {50, record},       {4, &a3}, {4, &count},
                          {4, &a5},   {4, &brightness},   {static_cast<uint32_t>(records.size()), records.data()}};
  return pipe::build_pipe_reply(std::span<const PipeArg>(args));
}

TEST(HwClientLighting, QueryReadsTheFixedOffsets) {
  testing::ScopedTestEnv env;
  testing::ScopedEnvVar instance("VANTREL_INSTANCE", text::ToUtf8(testing::UniqueName(L"light")));
  LightingStatus untouched;
  untouched.brightness = 99;
  EXPECT_FALSE(QueryLightingService(untouched));  // no lighting service
  EXPECT_EQ(untouched.brightness, 99u);

  std::atomic<uint32_t> count{40};
  std::atomic<size_t> extra{0};
  std::atomic<int> requests_ok{0};
  std::vector<pipe::PipeCommandHandler> table(2, &pipe::dump_arguments);
  table[1] = [&](const PipeRequest& r) -> PipeReply {
    if (r.arg_count() == 1 && r.U32Arg(0) == 1) ++requests_ok;
    return LightingReplyBytes(count, extra);
  };
  ScriptedServer server(names::Instance(names::kLightingPipe), std::move(table));
  ASSERT_TRUE(testing::WaitFor([] { return PipeAnswers(names::Instance(names::kLightingPipe)); },
                               std::chrono::seconds(10)));

  LightingStatus s;
  ASSERT_TRUE(QueryLightingService(s));
  EXPECT_EQ(requests_ok.load(), 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.device_record.data())), "Lighting VantrelEC");
  EXPECT_EQ(s.argument3, 0x33u);
  EXPECT_EQ(s.argument5, 0x55u);
  EXPECT_EQ(s.brightness, 75u);
  EXPECT_EQ(s.record_count, 30u);

  // More than the 5000 bytes the agent reads: a failed read, outputs untouched.
  extra = 1000;
  LightingStatus big;
  big.brightness = 1;
  EXPECT_FALSE(QueryLightingService(big));
  EXPECT_EQ(big.brightness, 1u);
}

TEST(HwClientStopped, EveryReaderFailsAtOnce) {
  testing::ScopedTestEnv env;
  testing::ScopedEnvVar instance("VANTREL_INSTANCE", text::ToUtf8(testing::UniqueName(L"none")));
  const auto start = std::chrono::steady_clock::now();
  int32_t v = 11;
  EXPECT_FALSE(TXSocket::Get_CPU_Temprature(v));
  EXPECT_FALSE(TXSocket::Get_System_Temprature(v));
  EXPECT_FALSE(TXSocket::Get_CPU_FanSpeed(v));
  EXPECT_FALSE(TXSocket::Get_SYS1_FanSpeed(v));
  EXPECT_FALSE(TXSocket::Get_SYS2_FanSpeed(v));
  EXPECT_FALSE(TXSocket::Get_GPU_FanSpeed(v, 0));
  EXPECT_FALSE(TXSocket::Get_GPU_Temprature(v, 0));
  EXPECT_EQ(v, 11);
  EXPECT_EQ(TXSocket::Get_GPU_Idle_State(), -1);
  EXPECT_TRUE(TXSocket::Get_GPU_Frequency(v, 0));
  EXPECT_EQ(v, -1);
  EXPECT_EQ(QueryGamingSysInfo(0), kSysInfoFailure);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// Services that take the request and never answer: every query gives up at
// its deadline with the failure value of an absent service, several at once
// each within its own deadline.
TEST(HwClientHung, QueriesFailAtTheirDeadline) {
  testing::ScopedTestEnv env;
  testing::ScopedEnvVar instance("VANTREL_INSTANCE", text::ToUtf8(testing::UniqueName(L"hung")));
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  auto hang = [&](const PipeRequest&) -> PipeReply {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return release; });
    return std::nullopt;
  };
  std::vector<pipe::PipeCommandHandler> hw(velmont::kHardwareCommandSlots, hang);
  hw[0] = &pipe::dump_arguments;
  std::vector<pipe::PipeCommandHandler> light(2, hang);
  light[0] = &pipe::dump_arguments;
  {
    ScriptedServer hw_server(names::Instance(names::kHardwarePipe), std::move(hw));
    ScriptedServer light_server(names::Instance(names::kLightingPipe), std::move(light));
    // Destroyed before the servers, whose Stop waits for the hung handlers.
    struct Release {
      std::function<void()> f;
      ~Release() { f(); }
    } release_handlers{[&] {
      {
        std::lock_guard lock(m);
        release = true;
      }
      cv.notify_all();
    }};
    for (const auto& name : {names::kHardwarePipe, names::kLightingPipe}) {
      ASSERT_TRUE(testing::WaitFor([&] { return PipeAnswers(names::Instance(name)); }, std::chrono::seconds(10)));
    }
    using Clock = std::chrono::steady_clock;
    const auto within_deadline = [](Clock::time_point start) {
      const auto took = Clock::now() - start;
      return took >= kServiceTransactionTimeout - std::chrono::milliseconds(50) &&
             took < kServiceTransactionTimeout + std::chrono::milliseconds(700);
    };
    struct Case {
      const char* name;
      std::function<bool()> failed;
    };
    const Case cases[] = {
        {"sysinfo", [] { return QueryGamingSysInfo(SensorInput(1)) == kSysInfoFailure; }},
        {"cpu temperature", [] { int32_t v = 5; return !TXSocket::Get_CPU_Temprature(v) && v == 5; }},
        {"idle state", [] { return QueryGpuIdleState() == -1; }},
        {"gpu usage", [] { int32_t v = 5; return TXSocket::Get_GPU_Usage(v, 0) && v == -1; }},
        {"lighting", [] { LightingStatus st; st.brightness = 9; return !QueryLightingService(st) && st.brightness == 9; }},
    };
    for (const Case& c : cases) {
      const auto start = Clock::now();
      EXPECT_TRUE(c.failed()) << c.name;
      EXPECT_TRUE(within_deadline(start)) << c.name;
    }
    // In parallel, as a report runs them: the deadlines run side by side.
    const auto start = Clock::now();
    std::vector<std::future<bool>> parallel;
    for (int i = 0; i < 8; ++i) parallel.push_back(std::async(std::launch::async, cases[i % 2].failed));
    for (auto& f : parallel) EXPECT_TRUE(f.get());
    EXPECT_TRUE(within_deadline(start));
  }
}

// The real hardware service program, when it has been built.
TEST(HwClientRealService, ReadersAgainstTheProgram) {
  const std::wstring program = testing::ProgramPath(L"VantrelSysHardwareService");
  testing::ScopedTestEnv env;
  const std::wstring instance = testing::UniqueName(L"real");
  testing::ScopedEnvVar instance_var("VANTREL_INSTANCE", text::ToUtf8(instance));
#ifndef _WIN32
  // Linux has no firmware: the simulated controller answers, with a known capability word.
  reg::Registry& r = reg::SystemRegistry();
  env.WritePlatformConfig("sim");
  ASSERT_EQ(reg::WriteDword(r, reg::Root::kLocalMachine, std::wstring(reg::kPlatformKey) + L"\\FirmwareSim",
                            L"Capability", 0x1234),
            0u);
#endif
  std::map<std::wstring, std::wstring> child_env = env.ChildEnv();
  child_env[L"VANTREL_INSTANCE"] = instance;
  uint32_t error = 0;
  std::unique_ptr<proc::Process> service = proc::Process::Start(program, {}, child_env, &error);
  ASSERT_TRUE(service) << "the hardware service does not start (" << error << ")";
  ASSERT_TRUE(testing::WaitFor([] { return PipeAnswers(names::Instance(names::kHardwarePipe)); },
                               std::chrono::seconds(30)));

  // Without an NVIDIA GPU the service reports the idle state 1.
  EXPECT_EQ(TXSocket::Get_GPU_Idle_State(), 1);
  int32_t v = -2;
  EXPECT_TRUE(TXSocket::Get_GPU_Usage(v, 0));
  EXPECT_NE(v, -2);
#ifndef _WIN32
  EXPECT_TRUE(TXSocket::Get_CPU_Temprature(v));
  EXPECT_GE(v, 35);
  EXPECT_LE(v, 70);
  int32_t cpu_fan = 0, sys1_fan = 0;
  EXPECT_TRUE(TXSocket::Get_CPU_FanSpeed(cpu_fan));
  EXPECT_TRUE(TXSocket::Get_SYS1_FanSpeed(sys1_fan));
  EXPECT_NEAR(cpu_fan, sys1_fan, 200);
  EXPECT_TRUE(TXSocket::Get_GPU_Temprature(v, 0));
  EXPECT_FALSE(TXSocket::Get_GPU_Temprature(v, 1));  // one simulated GPU
  EXPECT_EQ((QueryGamingSysInfo(0) >> 24) & 0xFFFF, 0x1234u);
#else
  // Wine has no firmware class: a real answer with a failure status.
  EXPECT_FALSE(TXSocket::Get_CPU_Temprature(v));
#endif
  service->Kill();
  service->Wait(std::chrono::seconds(10));
}

}  // namespace
}  // namespace vantrel::agent
