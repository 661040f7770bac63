#include "agent/server/debug_lines.h"

namespace vantrel::agent {

bool DebugLinesWanted() { return true; }

}  // namespace vantrel::agent
