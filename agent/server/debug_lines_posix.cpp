#include <unistd.h>

#include "agent/server/debug_lines.h"
#include "common/diag_log.h"

namespace vantrel::agent {

bool DebugLinesWanted() { return ProcessLog() != nullptr || isatty(STDOUT_FILENO) == 1; }

}  // namespace vantrel::agent
