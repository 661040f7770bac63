// vantrelctl's monitor-agent commands: version, capability, monitor, events.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <thread>

#include "common/names.h"
#include "tools/agent_client.h"
#include "tools/commands.h"
#include "tools/hw_client.h"
#include "tools/monitor_view.h"
#include "tools/terminal.h"

namespace vantrel::ctl {
namespace {

std::string Styled(const Json::Value& v) { return v.toStyledString(); }

std::string Compact(const Json::Value& v) {
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  return Json::writeString(writer, v);
}

bool Answered(const AgentFrame& reply) {
  return reply.value["result"].isString() && reply.value["result"].asString() == "0";
}

std::string Endpoint(const GlobalOptions& o) {
  return o.host + ":" + std::to_string(o.port != 0 ? o.port : names::AgentPort());
}

int NoAnswer(const GlobalOptions& o, const std::string& error) {
  return ReportFailure(o, kExitFailed, "no-answer", "the monitor agent at " + Endpoint(o) + ": " + error,
                       "is VantrelSysMonitorService running and listening there (VANTREL_AGENT_PORT, --port)?");
}

// A reply with a failure result. An enciphered request answered in plain
// with result 3 means the agent's cipher is off.
int NotAnswered(const GlobalOptions& o, const AgentFrame& reply, const std::string& what) {
  const Json::Value& result = reply.value["result"];
  std::string message = what + " was not answered";
  std::string hint;
  if (result.isNull()) {
    message += ": the hardware service did not answer the agent";
    hint = "is VantrelSysHardwareService running?";
  } else {
    message += " (result " + result.asString() + ")";
    if (o.aes && !reply.enciphered && result.asString() == "3") {
      hint = "the agent's cipher is off (SupportAES is not 1): try without --aes";
    }
  }
  if (o.json) {
    Json::Value out = reply.value;
    out["ok"] = false;
    out["error"] = "failed";
    out["message"] = message;
    if (!hint.empty()) out["hint"] = hint;
    std::cout << Styled(out);
    return kExitFailed;
  }
  return ReportFailure(o, kExitFailed, "failed", message, hint);
}

int Initialization(const GlobalOptions& o, AgentClient& client, const char* function) {
  Json::Value body(Json::objectValue);
  body["Function"] = function;
  std::string error;
  std::optional<AgentFrame> reply = client.Request(kAgentInitialization, body, &error);
  if (!reply) return NoAnswer(o, error);
  if (!Answered(*reply)) return NotAnswered(o, *reply, function);
  if (o.json) {
    std::cout << Styled(reply->value);
    return kExitOk;
  }
  const Json::Value& data = reply->value["data"];
  if (data.isIntegral()) {
    char text[32];
    std::snprintf(text, sizeof(text), "0x%04X (%u)", data.asUInt(), data.asUInt());
    std::cout << text << "\n";
  } else {
    std::cout << data.asString() << "\n";
  }
  return kExitOk;
}

std::string LocalTimestamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}


void Sleep(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

int Monitor(const GlobalOptions& o, AgentClient& client, const AgentArgs& args) {
  const bool watching = args.watch_seconds > 0;
  const bool redraw = watching && !o.json && StdoutIsAnsiTerminal();
  MonitorViewContext context;
  context.source = Endpoint(o);
  context.interval_seconds = args.watch_seconds;
  context.unicode = OutputSpeaksUtf8();
  context.system_max_clock = SystemMaxCpuClockMhz();
  context.simulated_firmware = !o.json && FirmwareBackendIs(HwClient(), L"sim");
  // Asked of the hardware service directly: the agent's report carries no settings.
  const bool machine_control = !o.json && FirmwareBackendIs(HwClient(), L"linux");
  MonitorHistory history;
  size_t drawn = 0;
  for (long round = 0;; ++round) {
    std::string error;
    std::optional<AgentFrame> reply = client.Request(kAgentGetMonitorData, Json::Value(Json::objectValue), &error);
    if (!reply) return NoAnswer(o, error);
    if (!Answered(*reply)) return NotAnswered(o, *reply, "GET_MONITOR_DATA");
    const Json::Value& data = reply->value["data"];
    if (o.json) {
      std::cout << (watching ? Compact(reply->value) + "\n" : Styled(reply->value));
    } else {
      history.Add(MonitorHistory::Clock::now(), data);
      context.timestamp = LocalTimestamp();
      if (machine_control) context.machine_control = MachineControlSummary();
      const std::vector<std::string> lines = RenderMonitorView(data, history, context);
      std::string frame = redraw ? RedrawPrefix(drawn) : (round > 0 ? "\n" : "");
      for (const std::string& line : lines) frame += line + "\n";
      std::cout << frame;
      drawn = lines.size();
    }
    std::cout.flush();
    if (!watching) return kExitOk;
    if (!std::cout) return 1;  // nobody reads any more
    if (args.count > 0 && round + 1 >= args.count) return kExitOk;
    Sleep(args.watch_seconds);
  }
}

int Events(const GlobalOptions& o, AgentClient& client, const AgentArgs& args) {
  const int timeout_ms = o.timeout_seconds < 0 ? -1 : static_cast<int>(o.timeout_seconds * 1000);
  const auto start = std::chrono::steady_clock::now();
  for (long seen = 0; args.count < 0 || seen < args.count; ++seen) {
    int left = timeout_ms;
    if (timeout_ms >= 0) {
      left = timeout_ms - static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - start)
                                               .count());
      if (left <= 0) return kExitOk;
    }
    std::string error;
    std::optional<AgentFrame> event = client.NextEvent(left, &error);
    if (!event) {
      if (timeout_ms >= 0 && error == "no answer from the agent in time") return kExitOk;
      return NoAnswer(o, error);
    }
    std::cout << (o.json ? Compact(event->value) : FormatEvent(event->value)) << std::endl;
    if (!std::cout) return 1;  // nobody reads any more
  }
  return kExitOk;
}

}  // namespace

int RunAgent(const GlobalOptions& o, const AgentArgs& args) {
  if (!o.key.empty() && !o.aes) return UsageError(o, "--key needs --aes", args.command);
  if (o.aes && !o.key.empty() && o.key.size() != 16 && o.key.size() != 24 && o.key.size() != 32) {
    return UsageError(o, "--key must be 16, 24 or 32 characters", args.command);
  }
  if (o.host.empty()) return UsageError(o, "--host needs a name or address", args.command);

  AgentClientOptions client_options;
  client_options.host = o.host;
  client_options.port = static_cast<uint16_t>(o.port);
  client_options.aes = o.aes;
  client_options.key = o.key;
  if (o.timeout_seconds >= 0 && args.command != "events") {
    client_options.timeout_ms = static_cast<int>(o.timeout_seconds * 1000);
  }
  AgentClient client(client_options);
  std::string error;
  if (!client.Connect(&error)) return NoAnswer(o, error);
  if (args.command == "version") return Initialization(o, client, "VERSION");
  if (args.command == "capability") return Initialization(o, client, "SUPPORT_SYSTEM_CAPABILITY");
  if (args.command == "monitor") return Monitor(o, client, args);
  return Events(o, client, args);
}

}  // namespace vantrel::ctl
