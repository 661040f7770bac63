// vantrelctl's command families. main.cpp parses the global options and hands
// the remaining words to one family; each returns the process exit status.
#pragma once
#include <string>
#include <vector>

namespace vantrel::ctl {

struct GlobalOptions {
  bool json = false;          // --json: machine-readable output
  std::string host = "127.0.0.1";
  int port = 0;               // 0: names::AgentPort()
  bool aes = false;           // --aes: speak the enciphered form
  std::string key;            // --key TEXT (empty: the agent's default key)
};

// "hw ..." (hardware service pipe).
int RunHwCommand(const GlobalOptions& options, const std::vector<std::string>& words);
// "version", "capability", "monitor", "events" (monitor agent TCP protocol).
int RunAgentCommand(const GlobalOptions& options, const std::vector<std::string>& words);
// Usage text of each family, for `vantrelctl help`.
std::string HwUsage();
std::string AgentUsage();

}  // namespace vantrel::ctl
