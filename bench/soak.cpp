// Soak: the agent and the hardware service (simulated firmware) under every
// hostile peer at once, for ten minutes by default, while a polite client asks
// for its version four times a second and for a report every second, and
// events travel through the agent's pipe to the TCP clients.
//
// The hostile peers: a client streaming bytes without pause, 20 clients
// asking for reports without pause, 20 that ask and never read, a burst of
// 2,000 connections every 30 s, the hardware service stopped (SIGSTOP) for
// 20 s out of every 90, a lighting service that accepts and never answers, 300
// idle connections on the hardware service's pipe for 20 s out of every 60, and
// the agent's standard output a pipe nobody reads.
//
// Every 10 s a line gives the agent's resident size and the worst latencies of
// that stretch; the summary gives the worst of the whole run, split by whether
// the hardware service was stopped, and the agent's resident size before, at
// its peak and after the peers have gone.
//
// Usage: soak [--seconds N] [--stdout-null]
//   --stdout-null: the agent's standard output goes to /dev/null instead.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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
#include "sandbox/test_env.h"

using namespace std::chrono;
using namespace vantrel;
using Clock = steady_clock;

namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_hardware_stopped{false};

int64_t RssKib(uint32_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      int64_t kib = 0;
      status >> kib;
      return kib;
    }
  }
  return -1;
}

std::string Block(uint32_t command, const std::string& json) { return vantrel::agentwire::Request(command, json); }
const std::string kVersion = Block(vantrel::agentwire::kCommandInitialization, R"({"Function":"VERSION"})");
const std::string kMonitorData = Block(vantrel::agentwire::kCommandGetMonitorData, "{}");

int Connect(uint16_t port) {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    ::close(s);
    return -1;
  }
  int one = 1;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return s;
}

bool SendAll(int s, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(s, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Worst values of one measure, kept apart for the stretches when the hardware
// service was stopped.
class Worst {
 public:
  void Add(double ms, bool failed) {
    std::lock_guard<std::mutex> l(m_);
    const int k = g_hardware_stopped ? 1 : 0;
    all_[k] = std::max(all_[k], ms);
    window_ = std::max(window_, ms);
    ++count_[k];
    if (failed) ++failures_[k];
  }
  double TakeWindow() {
    std::lock_guard<std::mutex> l(m_);
    const double w = window_;
    window_ = 0;
    return w;
  }
  std::string Summary(const char* name) {
    std::lock_guard<std::mutex> l(m_);
    char line[256];
    std::snprintf(line, sizeof(line), "%-22s worst %8.1f ms (%6lld, %lld failed) | stopped: worst %8.1f ms (%6lld, %lld failed)",
                  name, all_[0], count_[0], failures_[0], all_[1], count_[1], failures_[1]);
    return line;
  }

 private:
  std::mutex m_;
  double all_[2] = {0, 0};
  double window_ = 0;
  long long count_[2] = {0, 0};
  long long failures_[2] = {0, 0};
};

Worst g_version, g_report, g_event_plain, g_event_brightness, g_hw_pipe;

double MsSince(Clock::time_point t0) { return duration<double, std::milli>(Clock::now() - t0).count(); }

// A TCP client that splits its stream into top-level JSON objects (styled
// text ends each with "\n}\n") and hands them out.
class JsonStream {
 public:
  explicit JsonStream(int s) : s_(s) {}
  ~JsonStream() {
    if (s_ >= 0) ::close(s_);
  }
  int fd() const { return s_; }
  // The next object within `ms`, nullopt on time-out or end.
  std::optional<std::string> Next(int ms) {
    const auto end = Clock::now() + milliseconds(ms);
    for (;;) {
      const size_t at = buf_.find("\n}\n");
      if (at != std::string::npos) {
        std::string obj = buf_.substr(0, at + 3);
        buf_.erase(0, at + 3);
        return obj;
      }
      const int left = static_cast<int>(duration_cast<milliseconds>(end - Clock::now()).count());
      if (left <= 0) return std::nullopt;
      pollfd p{s_, POLLIN, 0};
      if (::poll(&p, 1, left) <= 0) continue;
      char b[65536];
      const ssize_t n = ::recv(s_, b, sizeof(b), 0);
      if (n <= 0) return std::nullopt;
      buf_.append(b, static_cast<size_t>(n));
    }
  }

 private:
  int s_;
  std::string buf_;
};

// Events sent through the pipe, by the value they carry, with their send time.
std::mutex g_events_m;
std::map<uint32_t, std::pair<Clock::time_point, bool>> g_events_sent;  // value -> (sent, brightness)

void NoteEventSeen(const std::string& obj) {
  const bool brightness = obj.find("PRESS_BRIGHTNESS_HOTKEY_BUTTON") != std::string::npos;
  const char* key = brightness ? "\"pressed_hotkey\" : " : "\"status\" : ";
  const size_t at = obj.find(key);
  if (at == std::string::npos) return;
  const uint32_t value = static_cast<uint32_t>(std::strtoul(obj.c_str() + at + std::strlen(key), nullptr, 10));
  std::lock_guard<std::mutex> l(g_events_m);
  auto it = g_events_sent.find(value);
  if (it == g_events_sent.end()) return;
  (it->second.second ? g_event_brightness : g_event_plain).Add(MsSince(it->second.first), false);
  g_events_sent.erase(it);
}

// The polite client: VERSION four times a second, a report every fourth
// turn, one request at a time; events in between are matched to their sends.
void Polite(uint16_t port) {
  std::unique_ptr<JsonStream> c;
  for (int turn = 0; !g_stop; ++turn) {
    if (!c) {
      const int s = Connect(port);
      if (s < 0) {
        std::this_thread::sleep_for(100ms);
        continue;
      }
      c = std::make_unique<JsonStream>(s);
    }
    const bool report = turn % 4 == 3;
    const auto t0 = Clock::now();
    bool answered = false;
    if (SendAll(c->fd(), report ? kMonitorData : kVersion)) {
      while (auto obj = c->Next(30000 - static_cast<int>(MsSince(t0)))) {
        if (obj->find("\"Function\"") != std::string::npos) {
          NoteEventSeen(*obj);
          continue;
        }
        answered = true;
        break;
      }
    }
    (report ? g_report : g_version).Add(MsSince(t0), !answered);
    if (!answered) c.reset();
    const auto pause = Clock::now() + 250ms;
    while (Clock::now() < pause) {
      if (c) {
        if (auto obj = c->Next(static_cast<int>(duration_cast<milliseconds>(pause - Clock::now()).count()) + 1)) {
          if (obj->find("\"Function\"") != std::string::npos) NoteEventSeen(*obj);
        }
      } else {
        std::this_thread::sleep_for(pause - Clock::now());
      }
    }
  }
}

void Streamer(uint16_t port) {
  const std::string chunk(64 * 1024, 's');
  while (!g_stop) {
    const int s = Connect(port);
    while (s >= 0 && !g_stop && SendAll(s, chunk)) {
    }
    if (s >= 0) ::close(s);
    std::this_thread::sleep_for(100ms);
  }
}

void Busy(uint16_t port, bool reads) {
  while (!g_stop) {
    const int s = Connect(port);
    if (s < 0) {
      std::this_thread::sleep_for(100ms);
      continue;
    }
    ::fcntl(s, F_SETFL, O_NONBLOCK);
    char b[65536];
    while (!g_stop) {
      const ssize_t n = ::send(s, kMonitorData.data(), kMonitorData.size(), MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN) break;
      if (reads) {
        const ssize_t r = ::recv(s, b, sizeof(b), 0);
        if (r == 0 || (r < 0 && errno != EAGAIN)) break;
      }
      std::this_thread::sleep_for(reads ? 1ms : 10ms);
    }
    ::close(s);
  }
}

void Bursts(uint16_t port) {
  while (!g_stop) {
    std::vector<int> socks;
    for (int i = 0; i < 2000 && !g_stop; ++i) {
      const int s = Connect(port);
      if (s < 0) continue;
      SendAll(s, kVersion);
      socks.push_back(s);
    }
    std::this_thread::sleep_for(2s);
    for (int s : socks) ::close(s);
    for (int i = 0; i < 280 && !g_stop; ++i) std::this_thread::sleep_for(100ms);
  }
}

void HardwareHangs(uint32_t pid) {
  while (!g_stop) {
    for (int i = 0; i < 700 && !g_stop; ++i) std::this_thread::sleep_for(100ms);
    if (g_stop) break;
    ::kill(static_cast<pid_t>(pid), SIGSTOP);
    g_hardware_stopped = true;
    for (int i = 0; i < 200 && !g_stop; ++i) std::this_thread::sleep_for(100ms);
    ::kill(static_cast<pid_t>(pid), SIGCONT);
    std::this_thread::sleep_for(1s);  // what was sent while stopped is answered now
    g_hardware_stopped = false;
  }
}

// 300 idle connections on the hardware pipe for 20 s out of every 60 (held
// all the time they would keep the agent itself off the pipe), and one more
// transaction every 5 s beside them. The pipe serves 255 at once: the rest
// wait in its queue, so every connect and the probe have a deadline (a
// probe during the crowd's stretch fails at it, as the agent's requests do).
void HardwarePipeCrowd(const std::wstring& pipe_name) {
  std::vector<std::unique_ptr<pipe::PipeClient>> crowd;
  for (int turn = 0; !g_stop; ++turn) {
    const int phase = turn % 12;  // 5 s turns
    if (phase == 0) {
      for (int i = 0; i < 300 && !g_stop; ++i) {
        auto c = std::make_unique<pipe::PipeClient>(pipe_name);
        c->SetDeadline(Clock::now() + 1s);
        if (c->Connect() != 0) break;
        crowd.push_back(std::move(c));
      }
    } else if (phase == 4) {
      crowd.clear();
    }
    const auto t0 = Clock::now();
    std::vector<uint8_t> reply;
    const uint32_t err = pipe::PipeTransact(pipe_name, 9, {}, &reply, 3s);
    g_hw_pipe.Add(MsSince(t0), err != 0);
    for (int i = 0; i < 50 && !g_stop; ++i) std::this_thread::sleep_for(100ms);
  }
}

// A brightness event (which asks the hung lighting service) and an adaptor
// event (which asks nobody), alternately, every second.
void Events(const std::wstring& agent_pipe) {
  for (uint32_t value = 1; !g_stop; ++value) {
    const bool brightness = value % 2 == 0;
    {
      std::lock_guard<std::mutex> l(g_events_m);
      g_events_sent[value] = {Clock::now(), brightness};
      // Events nobody saw within 30 s count as failures.
      for (auto it = g_events_sent.begin(); it != g_events_sent.end();) {
        if (MsSince(it->second.first) > 30000) {
          (it->second.second ? g_event_brightness : g_event_plain).Add(MsSince(it->second.first), true);
          it = g_events_sent.erase(it);
        } else {
          ++it;
        }
      }
    }
    auto arg = pipe::U32Bytes(value);
    pipe::PipeArg a{4, arg.data()};
    std::vector<uint8_t> reply;
    pipe::PipeTransact(agent_pipe, brightness ? 2 : 3, std::span<const pipe::PipeArg>(&a, 1), &reply);
    std::this_thread::sleep_for(1s);
  }
}

// Starts the agent with its standard output a pipe whose reading end is
// closed at once.
std::unique_ptr<proc::Process> StartAgent(const std::map<std::wstring, std::wstring>& env, bool closed_stdout) {
  int fds[2];
  if (!closed_stdout) {
    fds[0] = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    fds[1] = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  } else if (::pipe2(fds, O_CLOEXEC) != 0) {
    return nullptr;
  }
  std::fflush(stdout);
  const int saved = ::dup(1);
  ::dup2(fds[1], 1);
  auto p = proc::Process::Start(testing::ProgramPath(L"VantrelSysMonitorService"), {}, env);
  ::dup2(saved, 1);
  ::close(saved);
  ::close(fds[0]);
  ::close(fds[1]);
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 600;
  bool closed_stdout = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = std::atof(argv[++i]);
    if (std::strcmp(argv[i], "--stdout-null") == 0) closed_stdout = false;
  }
  if (seconds <= 0) seconds = 600;
  ::signal(SIGPIPE, SIG_IGN);
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = std::min<rlim_t>(files.rlim_max, 16384);
  setrlimit(RLIMIT_NOFILE, &files);
  if (!std::getenv("VANTREL_TEST_BIN_DIR")) {
    const std::string self = argv[0];
    const std::string dir = self.substr(0, self.find_last_of('/') == std::string::npos ? 0 : self.find_last_of('/'));
    ::setenv("VANTREL_TEST_BIN_DIR", dir.empty() ? "." : dir.c_str(), 1);
  }

  testing::ScopedTestEnv env_dirs;
  const std::wstring instance = testing::UniqueName(L"soak");
  const uint16_t port = testing::FreeTcpPort();
  auto env = env_dirs.ChildEnv();
  env[L"VANTREL_INSTANCE"] = instance;
  env[L"VANTREL_AGENT_PORT"] = std::to_wstring(port);
  reg::WriteString(reg::SystemRegistry(), reg::Root::kLocalMachine, reg::kPlatformKey, L"FirmwareBackend", L"sim");

  // The lighting service accepts and never answers (each request is held
  // until the run ends, or 30 s, whichever comes first).
  std::mutex hold_m;
  std::condition_variable hold_cv;
  std::vector<pipe::PipeCommandHandler> lighting_table(2, &pipe::dump_arguments);
  lighting_table[1] = [&](const pipe::PipeRequest&) -> pipe::PipeReply {
    std::unique_lock<std::mutex> l(hold_m);
    hold_cv.wait_for(l, 30s, [] { return g_stop.load(); });
    return pipe::build_pipe_reply({});
  };
  pipe::PipeServer lighting(names::kLightingPipe + instance, std::move(lighting_table));
  std::thread lighting_thread([&] {
    try {
      lighting.Run();
    } catch (...) {
    }
  });

  auto hardware = proc::Process::Start(testing::ProgramPath(L"VantrelSysHardwareService"), {}, env);
  auto agent = StartAgent(env, closed_stdout);
  if (!hardware || !agent) {
    std::fprintf(stderr, "cannot start the programs\n");
    return 1;
  }
  const std::wstring hw_pipe = names::kHardwarePipe + instance;
  const bool up = testing::WaitFor(
      [&] {
        const int s = Connect(port);
        if (s >= 0) ::close(s);
        pipe::PipeClient c(hw_pipe);
        return s >= 0 && c.Connect() == 0;
      },
      60s);
  if (!up) {
    std::fprintf(stderr, "the programs did not come up\n");
    return 1;
  }
  std::this_thread::sleep_for(2s);
  const int64_t rss_before = RssKib(agent->pid());
  std::printf("soak for %.0f s: agent pid %u, hardware service pid %u, agent resident %lld KiB\n", seconds,
              agent->pid(), hardware->pid(), static_cast<long long>(rss_before));
  std::fflush(stdout);

  std::vector<std::thread> actors;
  actors.emplace_back(Polite, port);
  actors.emplace_back(Streamer, port);
  for (int i = 0; i < 20; ++i) actors.emplace_back(Busy, port, true);
  for (int i = 0; i < 20; ++i) actors.emplace_back(Busy, port, false);
  actors.emplace_back(Bursts, port);
  actors.emplace_back(HardwareHangs, hardware->pid());
  actors.emplace_back(HardwarePipeCrowd, hw_pipe);
  actors.emplace_back(Events, names::kAgentPipe + instance);

  const auto start = Clock::now();
  int64_t rss_peak = rss_before;
  bool agent_alive = true;
  double hardware_ended_at = -1;  // seconds into the run, once seen ended
  while (MsSince(start) < seconds * 1000) {
    std::this_thread::sleep_for(10s);
    const int64_t rss = RssKib(agent->pid());
    rss_peak = std::max(rss_peak, rss);
    agent_alive = agent->Running();
    if (hardware_ended_at < 0 && !hardware->Running()) {
      hardware_ended_at = MsSince(start) / 1000;
      std::printf("the hardware service ended (exit code %d)\n", hardware->Wait(0ms).value_or(-1));
    }
    std::printf("%5.0f s  agent %6lld KiB  hw %s  worst ms: version %7.1f  report %7.1f  event %7.1f  "
                "brightness %7.1f  hw pipe %7.1f\n",
                MsSince(start) / 1000, static_cast<long long>(rss), g_hardware_stopped ? "stopped" : "running",
                g_version.TakeWindow(), g_report.TakeWindow(), g_event_plain.TakeWindow(),
                g_event_brightness.TakeWindow(), g_hw_pipe.TakeWindow());
    std::fflush(stdout);
    if (!agent_alive) {
      std::printf("the agent ended (exit code %d)\n", agent->Wait(0ms).value_or(-1));
      break;
    }
  }

  g_stop = true;
  hold_cv.notify_all();
  ::kill(static_cast<pid_t>(hardware->pid()), SIGCONT);
  for (auto& t : actors) t.join();
  // What the peers left behind is freed once they have gone.
  int64_t rss_after = -1;
  if (agent_alive) {
    std::this_thread::sleep_for(3s);
    rss_after = RssKib(agent->pid());
  }

  std::printf("\nsummary after %.0f s (latencies as the polite peers saw them)\n", MsSince(start) / 1000);
  for (auto& [name, w] : std::vector<std::pair<const char*, Worst*>>{{"VERSION", &g_version},
                                                                      {"GET_MONITOR_DATA", &g_report},
                                                                      {"adaptor event", &g_event_plain},
                                                                      {"brightness event", &g_event_brightness},
                                                                      {"hardware pipe command", &g_hw_pipe}}) {
    std::printf("%s\n", w->Summary(name).c_str());
  }
  std::printf("agent resident KiB: before %lld, peak %lld, after %lld (after - before = %lld)\n",
              static_cast<long long>(rss_before), static_cast<long long>(rss_peak),
              static_cast<long long>(rss_after), static_cast<long long>(rss_after - rss_before));
  std::printf("agent %s\n", agent_alive ? "alive throughout" : "ENDED during the run");
  if (hardware_ended_at < 0) {
    std::printf("hardware service alive throughout\n");
  } else {
    std::printf("hardware service ENDED, seen at %.0f s\n", hardware_ended_at);
  }

  for (auto* p : {agent.get(), hardware.get()}) {
    p->RequestStop();
    if (!p->Wait(10s)) p->Kill();
  }
  lighting.Stop();
  lighting_thread.join();
  return agent_alive && hardware_ended_at < 0 ? 0 : 1;
}
