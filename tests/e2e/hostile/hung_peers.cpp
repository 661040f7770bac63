// Peers that take a request and never answer: the agent's clients still get
// their replies in time, without the values the hung peer would have given.
#include <algorithm>

#include "agent/hwclient/hardware_client.h"
#include "common/names.h"
#include "common/pipe_message.h"
#include "tests/e2e/hostile/hostile_support.h"

#ifndef _WIN32
#include <signal.h>
#endif

namespace vantrel::hostile {
namespace {

namespace names = vantrel::names;

// A report waits at most one transaction time-out for the hardware.
constexpr auto kReportLimit = agent::kServiceTransactionTimeout + 1s;

const char* const kHardwareKeys[] = {"CPU_TEMPERATURE", "SYS1_TEMPERATURE", "CPU_FANSPEED", "SYS1_FANSPEED",
                                     "GPU1_FANSPEED"};

// One client keeps a report waiting while another asks for the version: the
// version comes first and in time, the report in time without hardware values.
void ExpectServedWithoutHardware(AgentClient& busy, AgentClient& polite) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const auto sent = Clock::now();
    ASSERT_TRUE(busy.Send(Block(10, "{}")));
    const Timed version = AskVersion(polite, 5s);
    EXPECT_TRUE(version.answered());

    auto report = busy.Receive(5s, 20ms);
    const auto took = Clock::now() - sent;
    ASSERT_TRUE(report);
    EXPECT_LT(took, kReportLimit);
    const Json::Value r = ParseJson(*report);
    EXPECT_EQ(r["result"].asString(), "0") << *report;
    for (const char* key : kHardwareKeys) EXPECT_FALSE(r["data"].isMember(key)) << key;
    EXPECT_EQ(r["data"]["GPU1_IDLE_STATUS"].asInt(), 0);
  }
}

TEST_F(HostilePeers, HardwarePipeThatNeverReplies) {
  Hang hang;
  std::vector<pipe::PipeCommandHandler> table(13, hang.Handler());
  table[0] = &pipe::dump_arguments;
  ScriptedPipe hardware(Pipe(names::kHardwarePipe), std::move(table), &hang);
  ASSERT_NO_FATAL_FAILURE(StartAgent());
  auto busy = Client();
  auto polite = Client();
  ExpectServedWithoutHardware(*busy, *polite);
  EXPECT_GT(hang.hung(), 0);

  // Unknown capability: answered without "data" within one time-out.
  const Timed capability = AskTimed(*polite, 0, R"({"Function":"SUPPORT_SYSTEM_CAPABILITY"})", 5s);
  ASSERT_TRUE(capability.answered());
  EXPECT_LT(capability.took, kReportLimit);
  EXPECT_FALSE(capability.reply.isMember("data"));
}

TEST_F(HostilePeers, HungLightingServiceLeavesBrightnessOut) {
  Hang hang;
  std::vector<pipe::PipeCommandHandler> table(2, hang.Handler());
  table[0] = &pipe::dump_arguments;
  ScriptedPipe lighting(Pipe(names::kLightingPipe), std::move(table), &hang);
  ASSERT_NO_FATAL_FAILURE(StartAgent());
  std::unique_ptr<AgentClient> ui[] = {Client(), Client(), Client()};

  // Every client has it within one time-out: the hung service is asked once per event.
  const auto sent = Clock::now();
  EXPECT_EQ(SendEvent(2, {pipe::U32Bytes(3)}), 0u);
  for (auto& c : ui) {
    auto note = c->Receive(5s, 20ms);
    EXPECT_LT(Clock::now() - sent, agent::kServiceTransactionTimeout + 1s);
    ASSERT_TRUE(note);
    const Json::Value n = ParseJson(*note);
    EXPECT_EQ(n["Function"].asString(), "PRESS_BRIGHTNESS_HOTKEY_BUTTON") << *note;
    EXPECT_EQ(n["Parameter"]["pressed_hotkey"].asUInt(), 3u);
    EXPECT_FALSE(n["Parameter"].isMember("brightness"));
  }
  EXPECT_EQ(hang.hung(), 1);

  // The relay is free again: a plain event follows at once.
  EXPECT_EQ(SendEvent(3, {pipe::U32Bytes(1)}), 0u);
  EXPECT_EQ(ParseJson(ui[0]->Receive(5s, 20ms).value_or(""))["Function"].asString(), "ADAPTOR_CHANGED");
}

#ifndef _WIN32
TEST_F(HostilePeers, StoppedHardwareService) {
  ASSERT_NO_FATAL_FAILURE(StartHardwareService());
  ASSERT_NO_FATAL_FAILURE(StartAgent());
  auto busy = Client();
  auto polite = Client();
  const Timed before = AskTimed(*busy, 10, "{}", 10s);
  ASSERT_TRUE(before.reply["data"].isMember("CPU_TEMPERATURE")) << before.reply.toStyledString();

  ASSERT_EQ(kill(static_cast<pid_t>(hardware_->pid()), SIGSTOP), 0);
  struct Resume {
    pid_t pid;
    ~Resume() { kill(pid, SIGCONT); }
  } resume{static_cast<pid_t>(hardware_->pid())};
  ExpectServedWithoutHardware(*busy, *polite);

  // Continued, the service is asked again and answers.
  kill(resume.pid, SIGCONT);
  EXPECT_TRUE(testing::WaitFor(
      [&] { return AskTimed(*busy, 10, "{}", 5s).reply["data"].isMember("CPU_TEMPERATURE"); }, 15s));
}
#endif

}  // namespace
}  // namespace vantrel::hostile
