// vantrelctl's command families. cli.cpp parses the whole command line (global
// options before or after the command) and hands the parsed words to one
// family; each returns the process exit status.
#pragma once
#include <string>
#include <vector>

namespace vantrel::ctl {

// Exit statuses, as README states them.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the service answered with a failure, or did not answer
inline constexpr int kExitUsage = 2;

struct GlobalOptions {
  bool json = false;          // --json: machine-readable output, errors included
  std::string host = "127.0.0.1";
  int port = 0;               // 0: names::AgentPort()
  bool aes = false;           // --aes: speak the enciphered form
  std::string key;            // --key TEXT (empty: the agent's default key)
  double timeout_seconds = -1;  // --timeout: reply limit (events: how long to listen); <0: default
};

// Parses `words` (the arguments after the program name) with `defaults` as the
// global options' starting values and runs the command.
int RunCommandLine(const GlobalOptions& defaults, const std::vector<std::string>& words);

// The parsed forms the families run.
struct AgentArgs {
  std::string command;        // version, capability, monitor, events
  double watch_seconds = 0;   // monitor: 0 = once
  long count = -1;            // monitor --watch / events: stop after this many (-1: no limit)
};
int RunAgent(const GlobalOptions& options, const AgentArgs& args);
// words: "dump ...", "reg get ...", "fw NAME VALUE", "gpu count", "raw ID ..."
int RunHw(const GlobalOptions& options, const std::vector<std::string>& words);

// words: "profile [NAME]", "fan [N] auto|full|PERCENT", "fan-curve N show|set
// TEMP:PERCENT...", "battery-limit [PERCENT]", "kbd-light [LEVEL]"
int RunControl(const GlobalOptions& options, const std::vector<std::string>& words);

// The platform profile and each fan's mode and duty as the hardware service
// reports them ("profile balanced, fan 1 auto 30 %"); empty when it reports none.
std::string MachineControlSummary();

// Kept for the tests: the same as RunCommandLine.
int RunAgentCommand(const GlobalOptions& options, const std::vector<std::string>& words);
int RunHwCommand(const GlobalOptions& options, const std::vector<std::string>& words);

// A failure in the form asked for: a JSON object on standard output under
// --json ({"ok": false, "error": kind, "message", "hint"}), else text on
// standard error. Returns `status`.
int ReportFailure(const GlobalOptions& options, int status, const std::string& kind, const std::string& message,
                  const std::string& hint = "");
// A usage error found after parsing: short, pointing at the command's --help.
int UsageError(const GlobalOptions& options, const std::string& message, const std::string& command);

// Help footers listing the firmware commands by name.
std::string FirmwareCommandList();

}  // namespace vantrel::ctl
