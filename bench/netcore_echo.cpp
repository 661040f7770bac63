// Echo throughput and latency of the network core against libuv, measured by
// one load generator in the same run.
//
// Each server runs single-threaded in a child process of its own, so neither
// shares an allocator, a heap lock or a scheduler slot with the generator;
// the generator is one epoll thread in the parent. With two cores, the server
// under test and the generator each get one; the idle server sleeps in its
// poll call meanwhile. Both servers set TCP_NODELAY on accepted sockets (the
// core does so itself) and answer every read with one write of the bytes read.
//
// Each server gets `seconds` of measurement per case, in 0.1-second slices
// alternating with the other server, so background load hits both alike.
//
// Allocations per request: malloc, calloc and realloc of the whole program
// are counted (operator new and libuv both end in malloc); each server counts
// into its own slot of a block shared with the parent, read around its slices.
//
// Usage: netcore_echo [--seconds N] [--conns 1|64|512]   (10 seconds a case, every case, by default)
//
// At one connection the two servers are within 1% of each other: a round trip
// is two wake-ups and the same three system calls. Five seconds a case left
// the ratios there a percent either side from run to run; ten narrow that to
// a few tenths.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <uv.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "netcore/netcore_base.h"

// ---- allocation counting ---------------------------------------------------

extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);

namespace {
std::atomic<uint64_t> g_own_allocs{0};
std::atomic<uint64_t>* g_allocs = &g_own_allocs;  // a server's shared slot once forked
}  // namespace

extern "C" void* malloc(size_t n) {
  g_allocs->fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(n);
}
extern "C" void* calloc(size_t n, size_t size) {
  g_allocs->fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, size_t n) {
  g_allocs->fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, n);
}

namespace {

// One slot per server, shared across fork.
struct AllocSlots {
  std::atomic<uint64_t> count[2];
};
AllocSlots* g_slots = nullptr;

uint16_t FreePort() {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  socklen_t len = sizeof(a);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

// ---- the servers -----------------------------------------------------------

[[noreturn]] void RunCoreServer(uint16_t port) {
  auto core = std::make_shared<netcore::NetCoreBase>();
  core->StartDispatchers(1);
  core->SetReadHandler([](std::shared_ptr<netcore::NetSocket> s, std::shared_ptr<netcore::Buffer> b, uint32_t) {
    // As the libuv server does, the echo goes out from the bytes as they were read.
    s->Write(*b, b->GetCanReadLength());
  });
  core->ListenOn("127.0.0.1", port);
  core->JoinDispatchers();
  std::_Exit(0);
}

struct UvWrite {
  uv_write_t req;
  uv_buf_t buf;
};

void UvAlloc(uv_handle_t*, size_t, uv_buf_t* buf) {
  buf->base = static_cast<char*>(std::malloc(65536));
  buf->len = 65536;
}

void UvAfterWrite(uv_write_t* req, int) {
  auto* w = reinterpret_cast<UvWrite*>(req);
  std::free(w->buf.base);
  delete w;
}

void UvRead(uv_stream_t* stream, ssize_t nread, const uv_buf_t* buf) {
  if (nread > 0) {
    auto* w = new UvWrite;
    w->buf = uv_buf_init(buf->base, static_cast<unsigned>(nread));
    uv_write(&w->req, stream, &w->buf, 1, UvAfterWrite);
    return;
  }
  std::free(buf->base);
  if (nread < 0) uv_close(reinterpret_cast<uv_handle_t*>(stream), [](uv_handle_t* h) { delete reinterpret_cast<uv_tcp_t*>(h); });
}

void UvConnection(uv_stream_t* server, int status) {
  if (status < 0) return;
  auto* client = new uv_tcp_t;
  uv_tcp_init(server->loop, client);
  if (uv_accept(server, reinterpret_cast<uv_stream_t*>(client)) != 0) {
    uv_close(reinterpret_cast<uv_handle_t*>(client), [](uv_handle_t* h) { delete reinterpret_cast<uv_tcp_t*>(h); });
    return;
  }
  uv_tcp_nodelay(client, 1);
  uv_read_start(reinterpret_cast<uv_stream_t*>(client), UvAlloc, UvRead);
}

[[noreturn]] void RunUvServer(uint16_t port) {
  uv_loop_t* loop = uv_default_loop();
  uv_tcp_t server;
  uv_tcp_init(loop, &server);
  sockaddr_in addr{};
  uv_ip4_addr("127.0.0.1", port, &addr);
  uv_tcp_bind(&server, reinterpret_cast<const sockaddr*>(&addr), 0);
  if (uv_listen(reinterpret_cast<uv_stream_t*>(&server), 4096, UvConnection) != 0) std::_Exit(1);
  uv_run(loop, UV_RUN_DEFAULT);
  std::_Exit(0);
}

// Both servers on the last processor, the generator on the first: where the
// scheduler would put each thread differs from run to run, and with it the
// cost of every wake-up, which at one connection is most of a round trip.
void PinTo(int cpu) {
  if (cpu < 0) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  ::sched_setaffinity(0, sizeof(set), &set);
}

int g_server_cpu = -1;

pid_t Spawn(void (*run)(uint16_t), uint16_t port, int slot) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    g_allocs = &g_slots->count[slot];
    PinTo(g_server_cpu);
    run(port);
  }
  return pid;
}

// ---- the load generator ----------------------------------------------------

struct Result {
  double msgs_per_sec = 0;
  double p50_us = 0;
  double p99_us = 0;
  double allocs_per_msg = 0;
};

using Clock = std::chrono::steady_clock;

struct Conn {
  int fd = -1;
  size_t sent = 0;
  size_t received = 0;
  Clock::time_point start;
  bool want_out = false;
};

int ConnectTo(uint16_t port) {
  for (int attempt = 0; attempt < 500; ++attempt) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) {
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
      return fd;
    }
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::fprintf(stderr, "cannot connect to port %u\n", port);
  std::exit(2);
}

// N connections to one server in ping-pong. Run in slices that alternate
// with the other server's, so both see the same background load.
class Load {
 public:
  Load(uint16_t port, int conns, size_t size)
      : size_(size), message_(size, 'm'), sink_(1 << 20), cs_(static_cast<size_t>(conns)) {
    ep_ = ::epoll_create1(0);
    for (int i = 0; i < conns; ++i) {
      cs_[i].fd = ConnectTo(port);
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.u32 = static_cast<uint32_t>(i);
      ::epoll_ctl(ep_, EPOLL_CTL_ADD, cs_[i].fd, &ev);
    }
  }
  ~Load() {
    for (auto& c : cs_) ::close(c.fd);
    ::close(ep_);
  }

  // Measures for `seconds`, then lets the messages in flight finish unmeasured.
  void Slice(double seconds) {
    const auto t0 = Clock::now();
    const auto deadline = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (size_t i = 0; i < cs_.size(); ++i) Begin(static_cast<int>(i));
    size_t in_flight = cs_.size();
    bool measuring = true;
    std::vector<epoll_event> evs(1024);
    while (in_flight > 0) {
      if (measuring && Clock::now() >= deadline) {
        measuring = false;
        elapsed_ += std::chrono::duration<double>(Clock::now() - t0).count();
      }
      const int n = ::epoll_wait(ep_, evs.data(), static_cast<int>(evs.size()), 100);
      for (int k = 0; k < n; ++k) {
        const int i = static_cast<int>(evs[k].data.u32);
        Conn& c = cs_[i];
        if (evs[k].events & EPOLLOUT) Push(i);
        if ((evs[k].events & EPOLLIN) == 0) continue;
        while (true) {
          const ssize_t r = ::recv(c.fd, sink_.data(), sink_.size(), 0);
          if (r <= 0) break;
          c.received += static_cast<size_t>(r);
        }
        if (c.received < size_ || c.sent < size_) continue;
        if (measuring) {
          latencies_.push_back(static_cast<uint64_t>(
              std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - c.start).count()));
          ++done_;
          Begin(i);
        } else {
          c.sent = c.received = 0;
          --in_flight;
        }
      }
    }
  }

  // Forgets what was measured so far: a warm-up slice does not count.
  void Reset() {
    latencies_.clear();
    done_ = 0;
    elapsed_ = 0;
  }
  uint64_t done() const { return done_; }
  Result Summary() {
    Result r;
    r.msgs_per_sec = elapsed_ > 0 ? static_cast<double>(done_) / elapsed_ : 0;
    if (!latencies_.empty()) {
      std::sort(latencies_.begin(), latencies_.end());
      r.p50_us = static_cast<double>(latencies_[latencies_.size() / 2]) / 1000;
      r.p99_us = static_cast<double>(latencies_[std::min(latencies_.size() - 1, latencies_.size() * 99 / 100)]) / 1000;
    }
    return r;
  }

 private:
  void SetOut(int i, bool on) {
    Conn& c = cs_[i];
    if (c.want_out == on) return;
    c.want_out = on;
    epoll_event ev{};
    ev.events = on ? (EPOLLIN | EPOLLOUT) : EPOLLIN;
    ev.data.u32 = static_cast<uint32_t>(i);
    ::epoll_ctl(ep_, EPOLL_CTL_MOD, c.fd, &ev);
  }
  void Push(int i) {
    Conn& c = cs_[i];
    while (c.sent < size_) {
      const ssize_t n = ::send(c.fd, message_.data() + c.sent, size_ - c.sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      c.sent += static_cast<size_t>(n);
    }
    SetOut(i, c.sent < size_);
  }
  void Begin(int i) {
    Conn& c = cs_[i];
    c.sent = 0;
    c.received = 0;
    c.start = Clock::now();
    Push(i);
  }

  size_t size_;
  std::string message_;
  std::vector<char> sink_;
  std::vector<Conn> cs_;
  int ep_ = -1;
  std::vector<uint64_t> latencies_;  // nanoseconds: at ~50 us a whole microsecond is 2%
  uint64_t done_ = 0;
  double elapsed_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  double seconds = 10;
  int only_conns = 0;  // 0: every case
  // A mistyped option would otherwise cost minutes of the default run, and a
  // connection count with no row would print a ratio line over no case.
  for (int i = 1; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (std::strcmp(argv[i], "--seconds") == 0 && has_value && (seconds = std::atof(argv[++i])) > 0) continue;
    if (std::strcmp(argv[i], "--conns") == 0 && has_value) {
      only_conns = std::atoi(argv[++i]);
      if (only_conns == 1 || only_conns == 64 || only_conns == 512) continue;
    }
    std::fprintf(stderr, "usage: netcore_echo [--seconds N] [--conns 1|64|512]\n");
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);

  void* shared = ::mmap(nullptr, sizeof(AllocSlots), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) return 1;
  g_slots = new (shared) AllocSlots{};
  auto allocs = [](int slot) { return g_slots->count[slot].load(std::memory_order_relaxed); };

  const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
  if (cpus >= 2) g_server_cpu = static_cast<int>(cpus - 1);
  const uint16_t core_port = FreePort();
  const pid_t core_pid = Spawn(RunCoreServer, core_port, 0);
  const uint16_t uv_port = FreePort();
  const pid_t uv_pid = Spawn(RunUvServer, uv_port, 1);

  if (g_server_cpu > 0) PinTo(0);
  std::printf("echo ping-pong, %.1f s a case; servers in child processes on cpu %d, generator in one thread on cpu 0\n",
              seconds, g_server_cpu);
  std::printf("%-6s %-6s | %-41s | %-41s | %s\n", "conns", "bytes", "netcore msg/s  p50us  p99us alloc/msg",
              "libuv msg/s  p50us  p99us alloc/msg", "ratio thr  p99");
  double min_thr = 1e9;
  double max_p99 = 0;
  for (int conns : {1, 64, 512}) {
    if (only_conns != 0 && conns != only_conns) continue;
    for (size_t size : {size_t(64), size_t(16384)}) {
      Result a, b;
      {
        Load core_load(core_port, conns, size);
        Load uv_load(uv_port, conns, size);
        // An unmeasured slice each first, so neither server pays for waking
        // the machine from the pause between cases; then the measured slices
        // alternate which server goes first.
        core_load.Slice(0.2);
        uv_load.Slice(0.2);
        core_load.Reset();
        uv_load.Reset();
        const int slices = std::max(2, static_cast<int>(seconds * 10));
        uint64_t core_allocs = 0, uv_allocs = 0;
        auto measure = [&](Load& load, int slot, uint64_t& count) {
          const uint64_t before = allocs(slot);
          load.Slice(seconds / slices);
          count += allocs(slot) - before;
        };
        for (int k = 0; k < slices; ++k) {
          if (k % 2 == 0) {
            measure(core_load, 0, core_allocs);
            measure(uv_load, 1, uv_allocs);
          } else {
            measure(uv_load, 1, uv_allocs);
            measure(core_load, 0, core_allocs);
          }
        }
        a = core_load.Summary();
        b = uv_load.Summary();
        a.allocs_per_msg = core_load.done() ? static_cast<double>(core_allocs) / core_load.done() : 0;
        b.allocs_per_msg = uv_load.done() ? static_cast<double>(uv_allocs) / uv_load.done() : 0;
      }
      // Let the servers take the closes before the next case connects.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      const double thr = b.msgs_per_sec > 0 ? a.msgs_per_sec / b.msgs_per_sec : 0;
      const double p99 = b.p99_us > 0 ? a.p99_us / b.p99_us : 0;
      std::printf("%-6d %-6zu | %12.0f %7.1f %7.1f %9.2f | %11.0f %7.1f %7.1f %9.2f | %6.3f %6.3f\n", conns,
                  size, a.msgs_per_sec, a.p50_us, a.p99_us, a.allocs_per_msg, b.msgs_per_sec, b.p50_us, b.p99_us,
                  b.allocs_per_msg, thr, p99);
      std::fflush(stdout);
      min_thr = std::min(min_thr, thr);
      max_p99 = std::max(max_p99, p99);
    }
  }
  ::kill(core_pid, SIGKILL);
  ::kill(uv_pid, SIGKILL);
  ::waitpid(core_pid, nullptr, 0);
  ::waitpid(uv_pid, nullptr, 0);
  // Over every case: the worst throughput ratio and the worst p99 ratio.
  std::printf("ratio throughput=%.3f p99=%.3f\n", min_thr, max_p99);
  return 0;
}
