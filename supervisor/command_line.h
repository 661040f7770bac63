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
};

// `args` excludes the program name. A switch begins with '-' or '/'; its word
// is compared without case.
CommandAction ParseCommandLine(const std::vector<std::wstring>& args);

inline constexpr char kUsageText[] =
    "Parameters:\n"
    " -install  to install the service.\n"
    " -remove   to remove the service.\n";

}  // namespace vantrel::supervisor
