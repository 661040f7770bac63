// vantrelctl's monitor-agent commands: version, capability, monitor, events.
#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

#include "tools/agent_client.h"
#include "tools/commands.h"

namespace vantrel::ctl {
namespace {

struct AgentArgs {
  std::string command;
  bool json = false;
  int watch_seconds = 0;  // monitor: 0 = once
  long count = -1;        // monitor --watch / events: stop after this many (-1: no limit)
  int timeout_seconds = -1;  // events: stop waiting after this long; requests: reply time limit
};

bool ParseNumber(const std::string& text, long min, long* out) {
  try {
    size_t used = 0;
    const long v = std::stol(text, &used);
    if (used != text.size() || v < min) return false;
    *out = v;
    return true;
  } catch (...) {
    return false;
  }
}

int UsageError(const std::string& message) {
  std::cerr << "vantrelctl: " << message << "\n" << AgentUsage();
  return 2;
}

std::string Styled(const Json::Value& v) { return v.toStyledString(); }

std::string Compact(const Json::Value& v) {
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  return Json::writeString(writer, v);
}

bool Answered(const AgentFrame& reply) { return reply.value["result"].isString() && reply.value["result"].asString() == "0"; }

int Initialization(AgentClient& client, const AgentArgs& args, const char* function) {
  Json::Value body(Json::objectValue);
  body["Function"] = function;
  std::string error;
  std::optional<AgentFrame> reply = client.Request(kAgentInitialization, body, &error);
  if (!reply) {
    std::cerr << "vantrelctl: " << error << "\n";
    return 1;
  }
  if (args.json) {
    std::cout << Styled(reply->value);
    return Answered(*reply) ? 0 : 1;
  }
  if (!Answered(*reply)) {
    const Json::Value& result = reply->value["result"];
    std::cerr << "vantrelctl: " << function << " was not answered"
              << (result.isNull() ? " (the hardware service did not answer)" : " (result " + result.asString() + ")")
              << "\n";
    return 1;
  }
  const Json::Value& data = reply->value["data"];
  if (data.isIntegral()) {
    char text[32];
    std::snprintf(text, sizeof(text), "0x%04X (%u)", data.asUInt(), data.asUInt());
    std::cout << text << "\n";
  } else {
    std::cout << data.asString() << "\n";
  }
  return 0;
}

int Monitor(AgentClient& client, const AgentArgs& args) {
  for (long round = 0;; ++round) {
    std::string error;
    std::optional<AgentFrame> reply = client.Request(kAgentGetMonitorData, Json::Value(Json::objectValue), &error);
    if (!reply) {
      std::cerr << "vantrelctl: " << error << "\n";
      return 1;
    }
    if (args.json) {
      std::cout << (args.watch_seconds > 0 ? Compact(reply->value) + "\n" : Styled(reply->value));
    } else if (!Answered(*reply)) {
      std::cerr << "vantrelctl: monitor data not collected (result "
                << reply->value["result"].asString() << ")\n";
    } else {
      if (args.watch_seconds > 0 && round > 0) std::cout << "\n";
      std::cout << FormatMonitorTable(reply->value["data"]);
    }
    std::cout.flush();
    if (args.watch_seconds <= 0) return Answered(*reply) ? 0 : 1;
    if (args.count > 0 && round + 1 >= args.count) return 0;
    std::this_thread::sleep_for(std::chrono::seconds(args.watch_seconds));
  }
}

int Events(AgentClient& client, const AgentArgs& args) {
  const int timeout_ms = args.timeout_seconds < 0 ? -1 : args.timeout_seconds * 1000;
  const auto start = std::chrono::steady_clock::now();
  for (long seen = 0; args.count < 0 || seen < args.count; ++seen) {
    int left = timeout_ms;
    if (timeout_ms >= 0) {
      left = timeout_ms - static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - start)
                                               .count());
      if (left <= 0) return 0;
    }
    std::string error;
    std::optional<AgentFrame> event = client.NextEvent(left, &error);
    if (!event) {
      if (timeout_ms >= 0 && error == "no answer from the agent in time") return 0;
      std::cerr << "vantrelctl: " << error << "\n";
      return 1;
    }
    std::cout << (args.json ? Compact(event->value) : FormatEvent(event->value)) << std::endl;
  }
  return 0;
}

}  // namespace

std::string AgentUsage() {
  return "Monitor agent (TCP, default 127.0.0.1 and the agent's port):\n"
         "  vantrelctl version                     the agent's file version\n"
         "  vantrelctl capability                  the system capability word\n"
         "  vantrelctl monitor [--watch SECONDS] [--count N] [--json]\n"
         "                                         processor, memory, network, temperatures, fans, GPU\n"
         "  vantrelctl events [--count N] [--timeout SECONDS] [--json]\n"
         "                                         print pushed notifications as they arrive\n"
         "  options (before or after the command): --host ADDRESS --port PORT --aes [--key TEXT]\n"
         "  --timeout SECONDS limits the wait for each reply (default 15)\n";
}

int RunAgentCommand(const GlobalOptions& options, const std::vector<std::string>& words) {
  if (words.empty()) return UsageError("no agent command given");
  AgentArgs args;
  args.command = words[0];
  args.json = options.json;
  // The connection options are also taken after the command word.
  GlobalOptions effective = options;
  for (size_t i = 1; i < words.size(); ++i) {
    const std::string& w = words[i];
    const bool has_value = i + 1 < words.size();
    long n = 0;
    if (w == "--json") {
      args.json = true;
    } else if (w == "--aes") {
      effective.aes = true;
    } else if (w == "--key") {
      if (!has_value) return UsageError("--key needs a text");
      effective.key = words[++i];
    } else if (w == "--host") {
      if (!has_value || words[i + 1].empty()) return UsageError("--host needs an address");
      effective.host = words[++i];
    } else if (w == "--port") {
      if (!has_value || !ParseNumber(words[++i], 1, &n) || n > 65535) return UsageError("--port needs a number from 1 to 65535");
      effective.port = static_cast<int>(n);
    } else if (w == "--watch" && args.command == "monitor") {
      if (!has_value || !ParseNumber(words[++i], 1, &n)) return UsageError("--watch needs a number of seconds");
      args.watch_seconds = static_cast<int>(n);
    } else if (w == "--count" && (args.command == "monitor" || args.command == "events")) {
      if (!has_value || !ParseNumber(words[++i], 1, &n)) return UsageError("--count needs a positive number");
      args.count = n;
    } else if (w == "--timeout") {
      if (!has_value || !ParseNumber(words[++i], 0, &n)) return UsageError("--timeout needs a number of seconds");
      args.timeout_seconds = static_cast<int>(n);
    } else {
      return UsageError("unknown argument for " + args.command + ": " + w);
    }
  }
  if (args.command != "version" && args.command != "capability" && args.command != "monitor" &&
      args.command != "events") {
    return UsageError("unknown agent command: " + args.command);
  }
  const GlobalOptions& o = effective;
  if (!o.key.empty() && !o.aes) return UsageError("--key needs --aes");
  if (o.aes && !o.key.empty() && o.key.size() != 16 && o.key.size() != 24 && o.key.size() != 32) {
    return UsageError("--key must be 16, 24 or 32 characters");
  }
  if (o.port < 0 || o.port > 65535) return UsageError("--port out of range");

  AgentClientOptions client_options;
  client_options.host = o.host;
  client_options.port = static_cast<uint16_t>(o.port);
  client_options.aes = o.aes;
  client_options.key = o.key;
  if (args.timeout_seconds >= 0 && args.command != "events") client_options.timeout_ms = args.timeout_seconds * 1000;
  AgentClient client(client_options);
  std::string error;
  if (!client.Connect(&error)) {
    std::cerr << "vantrelctl: " << error << "\n";
    return 1;
  }
  if (args.command == "version") return Initialization(client, args, "VERSION");
  if (args.command == "capability") return Initialization(client, args, "SUPPORT_SYSTEM_CAPABILITY");
  if (args.command == "monitor") return Monitor(client, args);
  return Events(client, args);
}

}  // namespace vantrel::ctl
