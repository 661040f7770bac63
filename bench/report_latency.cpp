// Cost of one GET_MONITOR_DATA report, run in-process against a hardware
// service on the simulated firmware: wall time p50/p99 over 1,000 reports, CPU
// time per report, RSS after 10,000 reports against after 100; and the round
// trip a UI sees over TCP through the real agent (paced by its 500 ms passes).
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent/metrics/init_config.h"
#include "agent/protocol/client_message.h"
#include "agent/report/monitor_report.h"
#include "common/agent_wire.h"
#include "common/names.h"
#include "common/pipe_transport.h"
#include "common/process.h"
#include "common/registry.h"
#include "common/text.h"
#include "netcore/os/socket_os.h"
#include "sandbox/test_env.h"

using namespace std::chrono;
using namespace vantrel;

namespace {

double CpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

long RssKib() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * (v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

std::string Block(uint32_t command, const std::string& json) { return vantrel::agentwire::Request(command, json); }

void OneReport() {
  const std::string block = Block(vantrel::agentwire::kCommandGetMonitorData, "{}");
  agent::TXSocket request(reinterpret_cast<const uint8_t*>(block.data()), static_cast<uint32_t>(block.size()));
  request.Process_socket();  // the installed report answers GET_MONITOR_DATA
  std::string text = agent::SerializeReply(request.reply);
  if (request.reply["result"].asString() != "0" || text.empty()) {
    std::fprintf(stderr, "report failed\n");
    std::exit(1);
  }
}

// p50 of request-to-reply over TCP, in ms.
double TcpRoundTrip(uint16_t port, int rounds) {
  netcore::os::NetInit();
  netcore::SocketHandle s = netcore::os::TcpSocket(false);
  if (netcore::os::Connect(s, false, "127.0.0.1", port) != 0) return -1;
  std::vector<double> times;
  const std::string block = Block(vantrel::agentwire::kCommandGetMonitorData, "{}");
  for (int i = 0; i < rounds; ++i) {
    auto start = steady_clock::now();
    netcore::Iovec out{const_cast<char*>(block.data()), block.size()};
    if (netcore::os::WriteV(s, &out, 1) <= 0) break;
    std::string got;
    while (got.empty() || got.back() != '\n' || got.find("\n}\n") == std::string::npos) {
      char buf[65536];
      netcore::Iovec in{buf, sizeof buf};
      int64_t n = netcore::os::ReadV(s, &in, 1);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    times.push_back(duration<double, std::milli>(steady_clock::now() - start).count());
  }
  netcore::os::CloseSocket(s);
  return times.empty() ? -1 : Percentile(times, 0.5);
}

}  // namespace

int main() {
  testing::ScopedTestEnv env;
  const std::wstring instance = testing::UniqueName(L"bench");
  setenv("VANTREL_INSTANCE", text::ToUtf8(instance).c_str(), 1);
  const uint16_t port = testing::FreeTcpPort();
  env.WritePlatformConfig("sim");

  auto child_env = env.ChildEnv();
  child_env[L"VANTREL_INSTANCE"] = instance;
  child_env[L"VANTREL_AGENT_PORT"] = std::to_wstring(port);
  const std::wstring bin = text::FromUtf8(VANTREL_BENCH_BIN_DIR);
  auto hardware = proc::Process::Start(bin + L"/VantrelSysHardwareService", {}, child_env);
  if (!hardware || !testing::WaitFor(
                       [] {
                         pipe::PipeClient c(names::Instance(names::kHardwarePipe));
                         return c.Connect() == 0;
                       },
                       seconds(30))) {
    std::fprintf(stderr, "hardware service did not start\n");
    return 1;
  }

  agent::ProcessInitConfig().Install(std::make_unique<agent::InitConfig>());
  agent::InstallMonitorDataReport();

  // Reserved before the first RSS reading: the bench's own bookkeeping must
  // not show as growth of the report.
  std::vector<double> wall;
  wall.reserve(1000);
  for (int i = 0; i < 100; ++i) OneReport();
  const long rss_100 = RssKib();

  const double cpu_start = CpuMs();
  for (int i = 0; i < 1000; ++i) {
    auto start = steady_clock::now();
    OneReport();
    wall.push_back(duration<double, std::milli>(steady_clock::now() - start).count());
  }
  const double cpu_per_report = (CpuMs() - cpu_start) / 1000.0;
  for (int i = 1100; i < 10000; ++i) OneReport();
  const long rss_10000 = RssKib();

  auto agent = proc::Process::Start(bin + L"/VantrelSysMonitorService", {}, child_env);
  double tcp_p50 = -1;
  if (agent && testing::WaitFor(
                   [&] {
                     netcore::SocketHandle s = netcore::os::TcpSocket(false);
                     bool ok = netcore::os::Connect(s, false, "127.0.0.1", port) == 0;
                     netcore::os::CloseSocket(s);
                     return ok;
                   },
                   seconds(30))) {
    tcp_p50 = TcpRoundTrip(port, 20);
  }
  if (agent) {
    agent->RequestStop();
    if (!agent->Wait(seconds(10))) agent->Kill();
  }
  hardware->RequestStop();
  if (!hardware->Wait(seconds(10))) hardware->Kill();

  std::printf("tcp_round_trip p50_ms=%.1f (one client, paced by the 500 ms pass)\n", tcp_p50);
  std::printf("report p50_ms=%.3f p99_ms=%.3f cpu_ms=%.3f rss_growth_kib=%ld\n", Percentile(wall, 0.5),
              Percentile(wall, 0.99), cpu_per_report, rss_10000 - rss_100);
  std::fflush(stdout);
  agent::ProcessInitConfig().Teardown();
  return 0;
}
