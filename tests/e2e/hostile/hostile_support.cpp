#include "tests/e2e/hostile/hostile_support.h"

#include <vector>

#include "common/agent_wire.h"
#include "common/names.h"
#include "common/registry.h"

namespace vantrel::hostile {

bool AgentClient::Connect(uint16_t port) {
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

void AgentClient::Close() {
  if (poll_ != netcore::kInvalidEpoll) netcore::os::EpollClose(poll_);
  if (socket_ != netcore::kInvalidSocket) netcore::os::CloseSocket(socket_);
  poll_ = netcore::kInvalidEpoll;
  socket_ = netcore::kInvalidSocket;
}

bool AgentClient::Send(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    netcore::Iovec v{const_cast<char*>(bytes.data() + done), bytes.size() - done};
    const int64_t n = netcore::os::WriteV(socket_, &v, 1);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::optional<std::string> AgentClient::Receive(std::chrono::milliseconds first, std::chrono::milliseconds quiet) {
  std::string got;
  std::chrono::milliseconds wait = first;
  std::vector<char> buf(65536);
  for (;;) {
    netcore::ReadyEvent ev[1];
    if (netcore::os::EpollWait(poll_, ev, 1, static_cast<int>(wait.count())) <= 0) break;
    netcore::Iovec v{buf.data(), buf.size()};
    const int64_t n = netcore::os::ReadV(socket_, &v, 1);
    if (n <= 0) break;
    got.append(buf.data(), static_cast<size_t>(n));
    wait = quiet;
  }
  if (got.empty()) return std::nullopt;
  return got;
}

std::string Block(uint32_t command, const std::string& json) { return vantrel::agentwire::Request(command, json); }

Json::Value ParseJson(const std::string& text) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::string errors;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  if (!r->parse(text.data(), text.data() + text.size(), &v, &errors)) return Json::Value();
  return v;
}

Timed AskTimed(AgentClient& c, uint32_t command, const std::string& json, std::chrono::milliseconds limit) {
  Timed t;
  const auto start = Clock::now();
  if (!c.Send(Block(command, json))) return t;
  // A reply is one write: a short quiet time is enough to see all of it.
  auto reply = c.Receive(limit, 20ms);
  t.took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  if (reply) t.reply = ParseJson(*reply);
  return t;
}

ScriptedPipe::ScriptedPipe(const std::wstring& name, std::vector<pipe::PipeCommandHandler> table, Hang* hang)
    : hang_(hang),
      server_(name, std::move(table)), thread_([this] {
        try {
          server_.Run();
        } catch (...) {
        }
      }) {
  testing::WaitFor(
      [&] {
        std::vector<uint8_t> reply;
        return pipe::PipeTransact(name, 0, {}, &reply, 1s) == 0;
      },
      10s);
}

ScriptedPipe::~ScriptedPipe() {
  if (hang_) hang_->Release();
  server_.Stop();
  thread_.join();
}

pipe::PipeCommandHandler Hang::Handler() {
  return [this](const pipe::PipeRequest&) -> pipe::PipeReply {
    std::unique_lock<std::mutex> lock(m_);
    ++hung_;
    cv_.wait(lock, [this] { return released_; });
    return std::nullopt;
  };
}

void Hang::Release() {
  {
    std::lock_guard<std::mutex> lock(m_);
    released_ = true;
  }
  cv_.notify_all();
}

int Hang::hung() const {
  std::lock_guard<std::mutex> lock(m_);
  return hung_;
}

testing::ScopedTestEnv& Env() {
  static auto* env = new testing::ScopedTestEnv();
  return *env;
}

void HostilePeers::SetUp() {
  Env();
  instance_ = testing::UniqueName(L"hp");
  port_ = testing::FreeTcpPort();
}

void HostilePeers::TearDown() {
  for (auto* p : {&agent_, &hardware_}) {
    if (!*p) continue;
    (*p)->RequestStop();
    if (!(*p)->Wait(10s)) (*p)->Kill();
  }
}

std::map<std::wstring, std::wstring> HostilePeers::ChildEnv() const {
  auto env = Env().ChildEnv();
  env[L"VANTREL_INSTANCE"] = instance_;
  env[L"VANTREL_AGENT_PORT"] = std::to_wstring(port_);
  return env;
}

void HostilePeers::StartAgent() {
  agent_ = proc::Process::Start(testing::ProgramPath(L"VantrelSysMonitorService"), {}, ChildEnv());
  ASSERT_TRUE(agent_);
  ASSERT_TRUE(testing::WaitFor(
      [&] {
        AgentClient c;
        return c.Connect(port_);
      },
      60s));
}

void HostilePeers::StartHardwareService() {
#ifndef _WIN32
  Env().WritePlatformConfig("sim");
#endif
  hardware_ = proc::Process::Start(testing::ProgramPath(L"VantrelSysHardwareService"), {}, ChildEnv());
  ASSERT_TRUE(hardware_);
  ASSERT_TRUE(testing::WaitFor(
      [&] {
        std::vector<uint8_t> reply;
        return pipe::PipeTransact(Pipe(names::kHardwarePipe), 0, {}, &reply, 1s) == 0;
      },
      60s));
}

std::unique_ptr<AgentClient> HostilePeers::Client() {
  auto c = std::make_unique<AgentClient>();
  EXPECT_TRUE(c->Connect(port_));
  // An answer means the accept was handled, so the client is in the table.
  EXPECT_TRUE(AskVersion(*c, 15s).answered());
  return c;
}

uint32_t HostilePeers::SendEvent(uint16_t command, const std::vector<std::vector<uint8_t>>& args) {
  std::vector<pipe::PipeArg> a;
  for (const auto& x : args) a.push_back({static_cast<uint32_t>(x.size()), x.data()});
  std::vector<uint8_t> reply;
  return pipe::PipeTransact(Pipe(names::kAgentPipe), command, a, &reply, 10s);
}

}  // namespace vantrel::hostile
