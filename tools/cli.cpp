// vantrelctl's command line, parsed with CLI11: global options anywhere,
// --help on every command, --version, short usage errors (exit 2).
#include <CLI/CLI.hpp>
#include <json/json.h>

#include <algorithm>
#include <iostream>
#include <sstream>

#include "tools/commands.h"

namespace vantrel::ctl {
namespace {

constexpr char kProgram[] = "vantrelctl";

// One hw leaf command: its words collected as positionals.
struct HwLeaf {
  std::vector<std::string> words;
  CLI::App* app = nullptr;
  std::vector<std::string> prefix;  // "reg", "get"
};

CLI::App* AddLeaf(CLI::App* parent, std::vector<HwLeaf>& leaves, std::vector<std::string> prefix, const char* name,
                  const char* description, const char* args_help, int min_args, int max_args) {
  CLI::App* app = parent->add_subcommand(name, description);
  leaves.push_back({{}, app, std::move(prefix)});
  leaves.back().prefix.push_back(name);
  if (max_args != 0) {
    app->add_option("args", leaves.back().words, args_help)->expected(min_args, max_args)->type_name("");
  }
  return app;
}

void AddAgentCommands(CLI::App& app, AgentArgs& args) {
  app.add_subcommand("version", "the monitor agent's file version")->callback([&] { args.command = "version"; });
  app.add_subcommand("capability", "the system capability word (from the hardware service)")
      ->callback([&] { args.command = "capability"; });
  CLI::App* monitor = app.add_subcommand("monitor", "processor, memory, network, temperatures, fans, GPU");
  monitor->callback([&] { args.command = "monitor"; });
  monitor->add_option("--watch", args.watch_seconds, "redraw every SECONDS (fractions allowed, at least 0.1)")
      ->type_name("SECONDS")
      ->check(CLI::Range(0.1, 86400.0));
  monitor->add_option("--count", args.count, "stop after N readings")->type_name("N")->check(CLI::PositiveNumber);
  CLI::App* events = app.add_subcommand("events", "print pushed notifications as they arrive");
  events->callback([&] { args.command = "events"; });
  events->add_option("--count", args.count, "stop after N notifications")->type_name("N")->check(CLI::PositiveNumber);
}

void AddHwCommands(CLI::App& app, std::vector<HwLeaf>& leaves) {
  CLI::App* hw = app.add_subcommand("hw", "commands of the hardware service's pipe");
  hw->require_subcommand(1);
  leaves.reserve(16);  // the leaves hold the option targets: no reallocation
  AddLeaf(hw, leaves, {}, "dump", "echo the arguments as a text dump (command 0)", "hex byte strings such as 0a1b2c",
          0, 255);
  CLI::App* reg = hw->add_subcommand("reg", "registry commands (1-6)");
  reg->require_subcommand(1);
  reg->footer(
      "KEY: ROOT\\sub\\key with ROOT one of HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CURRENT_CONFIG,\n"
      "     HKEY_CLASSES_ROOT, HKEY_USERS\n"
      "TYPE: none|sz|expand_sz|binary|dword|multi_sz|qword|<number>; DATA: a number for dword/qword,\n"
      "      text for sz (multi_sz: items joined by '|'), hex bytes otherwise\n"
      "FLAGS: any|sz|expand_sz|binary|dword|multi_sz|qword|none|<number> (default any); SIZE: buffer bytes "
      "(default 4096)");
  AddLeaf(reg, leaves, {"reg"}, "create", "create or open a key (1)", "KEY", 1, 1);
  AddLeaf(reg, leaves, {"reg"}, "delete-tree", "delete a key and its subtree (2)", "KEY", 1, 1);
  AddLeaf(reg, leaves, {"reg"}, "set", "write a value, creating the key (3)", "KEY NAME TYPE DATA", 4, 4);
  AddLeaf(reg, leaves, {"reg"}, "delete", "delete a value (4)", "KEY NAME", 2, 2);
  AddLeaf(reg, leaves, {"reg"}, "update", "write a value only if it exists (5)", "KEY NAME TYPE DATA", 4, 4);
  AddLeaf(reg, leaves, {"reg"}, "get", "read a value, decoded by its type (6)", "KEY NAME [FLAGS] [SIZE] [DEFAULT]",
          2, 5);
  AddLeaf(hw, leaves, {}, "fw", "a firmware command by name or number", "COMMAND VALUE", 2, 2)
      ->footer(FirmwareCommandList());
  AddLeaf(hw, leaves, {}, "gpu", "GPU queries (8-12)", "count|idle|freq|maxfreq|usage [INDEX]", 1, 2);
  AddLeaf(hw, leaves, {}, "raw", "any command number with raw arguments", "ID [HEX...]", 1, 256);
}

// The machine-control commands: top-level, each with its words.
void AddControlCommands(CLI::App& app, std::vector<HwLeaf>& leaves) {
  leaves.reserve(8);
  const char* const footer =
      "Spoken as firmware commands; on Linux the hardware service answers them when its\n"
      "FirmwareBackend is \"linux\". Without a value each shows the setting and what the machine supports.";
  AddLeaf(&app, leaves, {}, "profile", "show or set the platform profile", "[NAME]", 0, 1)->footer(footer);
  AddLeaf(&app, leaves, {}, "fan", "show the fans, or set every fan (or fan N) to auto, full or a duty percent",
          "[N] auto|full|PERCENT", 0, 2)
      ->footer(footer);
  AddLeaf(&app, leaves, {}, "fan-curve", "show or set fan N's temperature curve", "N show|set TEMP:PERCENT...", 2, 34)
      ->footer(footer);
  AddLeaf(&app, leaves, {}, "battery-limit", "show or set the battery's charge limit", "[PERCENT]", 0, 1)
      ->footer(footer);
  AddLeaf(&app, leaves, {}, "kbd-light", "show or set the keyboard backlight level", "[LEVEL]", 0, 1)->footer(footer);
}

bool WantsJson(const std::vector<std::string>& words) {
  return std::find(words.begin(), words.end(), "--json") != words.end();
}

// The first word that is neither an option nor an option's value: the command.
std::string FirstCommandWord(const std::vector<std::string>& words) {
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w == "--host" || w == "--port" || w == "--key" || w == "--timeout") {
      ++i;
    } else if (w.empty() || w[0] != '-') {
      return w;
    }
  }
  return "";
}

// The deepest command the words name, for the --help hint of a usage error.
std::string CommandPath(const CLI::App& app) {
  std::string path;
  for (const CLI::App* a = &app; a != nullptr;) {
    const auto subs = a->get_subcommands();
    if (subs.empty()) break;
    a = subs.front();
    path += (path.empty() ? "" : " ") + a->get_name();
  }
  return path;
}

}  // namespace

int ReportFailure(const GlobalOptions& options, int status, const std::string& kind, const std::string& message,
                  const std::string& hint) {
  if (options.json) {
    Json::Value out;
    out["ok"] = false;
    out["error"] = kind;
    out["message"] = message;
    if (!hint.empty()) out["hint"] = hint;
    std::cout << out.toStyledString() << std::flush;
  } else {
    std::cerr << kProgram << ": " << message << "\n";
    if (!hint.empty()) std::cerr << "  " << hint << "\n";
  }
  return status;
}

int UsageError(const GlobalOptions& options, const std::string& message, const std::string& command) {
  return ReportFailure(options, kExitUsage, "usage", message,
                       "see '" + std::string(kProgram) + (command.empty() ? "" : " " + command) + " --help'");
}

int RunCommandLine(const GlobalOptions& defaults, const std::vector<std::string>& words) {
  GlobalOptions options = defaults;
  AgentArgs agent;
  std::vector<HwLeaf> leaves;
  std::vector<HwLeaf> control;
  CLI::App app("Command-line client of the Vantrel monitor agent (TCP) and hardware service (pipe).", kProgram);
  app.fallthrough();  // global options are taken after the command too
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string(kProgram) + " " VANTREL_VERSION_STRING);
  app.add_flag("--json", options.json, "machine-readable output, errors included");
  app.add_option("--host", options.host, "monitor agent host name or address (default 127.0.0.1)")
      ->type_name("HOST");
  app.add_option("--port", options.port, "monitor agent port (default: VANTREL_AGENT_PORT or 46753)")
      ->type_name("PORT")
      ->check(CLI::Range(1, 65535));
  app.add_flag("--aes", options.aes, "speak the enciphered form of the agent protocol");
  app.add_option("--key", options.key, "cipher key of 16, 24 or 32 characters (default: the agent's)")
      ->type_name("TEXT");
  app.add_option("--timeout", options.timeout_seconds,
                 "seconds to wait for each reply (default 15); events: how long to listen")
      ->type_name("SECONDS")
      ->check(CLI::Range(0.0, 86400.0));
  app.footer(
      "Exit status: 0 success; 1 the service answered with a failure or did not answer; 2 usage error.\n"
      "Every command takes --help.");
  AddAgentCommands(app, agent);
  AddHwCommands(app, leaves);
  AddControlCommands(app, control);
  app.add_subcommand("help", "print this help");

  options.json = options.json || WantsJson(words);
  if (!words.empty() && words[0] == "help") {
    std::cout << app.help();
    return kExitOk;
  }
  try {
    std::vector<std::string> reversed(words.rbegin(), words.rend());  // CLI11 takes them last first
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return kExitOk;
  } catch (const CLI::CallForAllHelp&) {
    std::cout << app.help("", CLI::AppFormatMode::All);
    return kExitOk;
  } catch (const CLI::CallForVersion& e) {
    std::cout << e.what() << "\n";
    return kExitOk;
  } catch (const CLI::ParseError& e) {
    const std::string command = FirstCommandWord(words);
    const auto known = app.get_subcommands([&](CLI::App* a) { return a->get_name() == command; });
    if (!command.empty() && known.empty()) {
      return UsageError(options, "unknown command \"" + command + "\"", "");
    }
    return UsageError(options, e.what(), CommandPath(app));
  }
  if (!agent.command.empty()) return RunAgent(options, agent);
  for (const HwLeaf& leaf : leaves) {
    if (!leaf.app->parsed()) continue;
    std::vector<std::string> hw_words = leaf.prefix;
    hw_words.insert(hw_words.end(), leaf.words.begin(), leaf.words.end());
    return RunHw(options, hw_words);
  }
  for (const HwLeaf& leaf : control) {
    if (!leaf.app->parsed()) continue;
    std::vector<std::string> words_of = leaf.prefix;
    words_of.insert(words_of.end(), leaf.words.begin(), leaf.words.end());
    return RunControl(options, words_of);
  }
  return UsageError(options, "missing command", "");
}

int RunAgentCommand(const GlobalOptions& options, const std::vector<std::string>& words) {
  return RunCommandLine(options, words);
}

int RunHwCommand(const GlobalOptions& options, const std::vector<std::string>& words) {
  return RunCommandLine(options, words);
}

}  // namespace vantrel::ctl
