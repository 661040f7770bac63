// Shared pieces of the hostile-peers suite: the real programs as processes,
// a blocking TCP client of the agent with timed requests, and scripted pipe
// services that misbehave on purpose. Every wait here has a deadline, so a
// case that finds a fault fails instead of hanging the run.
#pragma once
#include <gtest/gtest.h>
#include <json/json.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/pipe_transport.h"
#include "common/process.h"
#include "netcore/os/socket_os.h"
#include "tests/support/test_env.h"

namespace vantrel::hostile {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

#ifdef _WIN32
inline constexpr bool kNative = false;
#else
inline constexpr bool kNative = true;
#endif

// A blocking client of the agent's TCP protocol.
class AgentClient {
 public:
  AgentClient() = default;
  ~AgentClient() { Close(); }
  AgentClient(const AgentClient&) = delete;
  AgentClient& operator=(const AgentClient&) = delete;

  bool Connect(uint16_t port);
  void Close();
  bool Send(const std::string& bytes);
  // Waits up to `first` for bytes, then reads until the line is quiet for
  // `quiet`. nullopt when nothing came.
  std::optional<std::string> Receive(std::chrono::milliseconds first, std::chrono::milliseconds quiet = 50ms);
  netcore::SocketHandle handle() const { return socket_; }

 private:
  netcore::SocketHandle socket_ = netcore::kInvalidSocket;
  netcore::EpollHandle poll_ = netcore::kInvalidEpoll;
};

// "VNTL", the command number, the JSON text.
std::string Block(uint32_t command, const std::string& json);
Json::Value ParseJson(const std::string& text);

// One request and how long its reply took; `reply` is null when none came
// within the limit.
struct Timed {
  Json::Value reply;
  std::chrono::milliseconds took{0};
  bool answered() const { return !reply.isNull(); }
};
Timed AskTimed(AgentClient& c, uint32_t command, const std::string& json, std::chrono::milliseconds limit);
inline Timed AskVersion(AgentClient& c, std::chrono::milliseconds limit) {
  return AskTimed(c, 0, R"({"Function":"VERSION"})", limit);
}

class Hang;

// A pipe server of the test's own on a thread of its own. `hang`, when given,
// is released before the server stops (Stop waits for its handlers).
class ScriptedPipe {
 public:
  ScriptedPipe(const std::wstring& name, std::vector<pipe::PipeCommandHandler> table, Hang* hang = nullptr);
  ~ScriptedPipe();
  ScriptedPipe(const ScriptedPipe&) = delete;
  ScriptedPipe& operator=(const ScriptedPipe&) = delete;

 private:
  Hang* hang_;
  pipe::PipeServer server_;
  std::thread thread_;
};

// Handlers that take a request and never answer until Release().
class Hang {
 public:
  ~Hang() { Release(); }
  pipe::PipeCommandHandler Handler();
  void Release();
  int hung() const;

 private:
  mutable std::mutex m_;
  std::condition_variable cv_;
  bool released_ = false;
  int hung_ = 0;
};

// One state and runtime folder for the whole run (the registry store is
// opened once per process).
testing::ScopedTestEnv& Env();

// One copy of the suite per test: its own instance suffix (pipes, mutexes),
// port and state, the programs stopped at the end.
class HostilePeers : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::wstring Pipe(const wchar_t* base) const { return base + instance_; }
  std::map<std::wstring, std::wstring> ChildEnv() const;

  // The agent, waited for until it answers on TCP.
  void StartAgent();
  // The hardware service on the simulated firmware, waited for until its pipe answers.
  void StartHardwareService();
  std::unique_ptr<AgentClient> Client();
  // Sends an event on the agent's pipe; 0 or the transport's error.
  uint32_t SendEvent(uint16_t command, const std::vector<std::vector<uint8_t>>& args);

  std::wstring instance_;
  uint16_t port_ = 0;
  std::unique_ptr<proc::Process> agent_;
  std::unique_ptr<proc::Process> hardware_;
};

}  // namespace vantrel::hostile
