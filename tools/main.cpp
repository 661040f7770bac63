// vantrelctl: the suite's command-line client.
#include <string>
#include <vector>

#include "tools/commands.h"

namespace vantrel::ctl {

// Called by the entry halves with the arguments after the program name, as UTF-8.
int CtlMain(const std::vector<std::string>& words) { return RunCommandLine(GlobalOptions{}, words); }

}  // namespace vantrel::ctl
