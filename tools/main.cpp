// vantrelctl: the suite's command-line client. Global options come before the
// command; the command's words go to its family.
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "tools/commands.h"

namespace {

using vantrel::ctl::GlobalOptions;

void PrintUsage(std::ostream& out) {
  out << "usage: vantrelctl [--json] [--host HOST] [--port PORT] [--aes] [--key TEXT] <command> ...\n\n"
         "Global options:\n"
         "  --json         machine-readable output\n"
         "  --host HOST    monitor agent address (default 127.0.0.1)\n"
         "  --port PORT    monitor agent port (default: VANTREL_AGENT_PORT or 46753)\n"
         "  --aes          speak the enciphered form of the agent protocol\n"
         "  --key TEXT     cipher key (default: the agent's)\n\n"
      << vantrel::ctl::HwUsage() << "\n"
      << vantrel::ctl::AgentUsage();
}

int Usage(const std::string& message) {
  std::cerr << "vantrelctl: " << message << "\n\n";
  PrintUsage(std::cerr);
  return 2;
}

}  // namespace

namespace vantrel::ctl {

// Called by the entry halves with the arguments after the program name, as UTF-8.
int CtlMain(const std::vector<std::string>& words) {
  GlobalOptions options;
  size_t i = 0;
  for (; i < words.size(); ++i) {
    const std::string& w = words[i];
    // The option's value: the next word.
    auto value = [&]() -> const std::string* { return i + 1 < words.size() ? &words[++i] : nullptr; };
    if (w == "--json") {
      options.json = true;
    } else if (w == "--aes") {
      options.aes = true;
    } else if (w == "--host") {
      const std::string* v = value();
      if (v == nullptr || v->empty()) return Usage("--host needs an address");
      options.host = *v;
    } else if (w == "--port") {
      const std::string* v = value();
      char* end = nullptr;
      const long port = v != nullptr ? std::strtol(v->c_str(), &end, 10) : 0;
      if (v == nullptr || v->empty() || *end != '\0' || port < 1 || port > 65535) {
        return Usage("--port needs a number from 1 to 65535");
      }
      options.port = static_cast<int>(port);
    } else if (w == "--key") {
      const std::string* v = value();
      if (v == nullptr) return Usage("--key needs a text");
      options.key = *v;
    } else if (w == "-h" || w == "--help" || w == "help") {
      PrintUsage(std::cout);
      return 0;
    } else if (w.rfind("--", 0) == 0) {
      return Usage("unknown option " + w);
    } else {
      break;
    }
  }
  if (i >= words.size()) return Usage("missing command");
  const std::vector<std::string> rest(words.begin() + static_cast<std::ptrdiff_t>(i), words.end());
  const std::string& command = rest[0];
  if (command == "hw") return vantrel::ctl::RunHwCommand(options, rest);
  if (command == "version" || command == "capability" || command == "monitor" || command == "events") {
    return vantrel::ctl::RunAgentCommand(options, rest);
  }
  return Usage("unknown command \"" + command + "\"");
}

}  // namespace vantrel::ctl
