// The supervisor's command line and the texts it prints.
#pragma once
#include <string>
#include <vector>

namespace vantrel::supervisor {

enum class CommandAction {
  kInstall,
  kUninstall,
  kIgnore,      // an unknown switch: end at once, silently
  kRunService,  // no switch: print the usage text and run as a service
  kHelp,        // --help, -h or /? first: print the help, exit 0
  kVersion,     // --version first: print the version, exit 0
};

// `args` excludes the program name. A switch begins with '-' or '/'; its word
// is compared without case.
CommandAction ParseCommandLine(const std::vector<std::wstring>& args);

// Lists the switches the program has ("-remove" was once named here but never
// recognised).
inline constexpr char kUsageText[] =
    "Parameters:\n"
    " -install    to install the service.\n"
    " -uninstall  to remove the service.\n";

inline constexpr char kProgramName[] = "VantrelCentralService";
inline constexpr char kHelpText[] =
    "VantrelCentralService: the Vantrel supervisor service (VACSvc).\n"
    "Run by the service manager it keeps VantrelSysMonitorService and VantrelSysHardwareService\n"
    "running from its own folder.\n"
    "Parameters (a switch begins with - or /, any case):\n"
    " -install    to install the service.\n"
    " -uninstall  to remove the service.\n"
    " --help      print this text\n"
    " --version   print the version\n";

}  // namespace vantrel::supervisor
