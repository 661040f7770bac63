// Hands the heap's free memory back to the system. The C heap keeps what a
// burst of connections or messages freed, so without this the agent's memory
// would stay at its highest point after a flood ends.
#pragma once

namespace vantrel::agent {

void ReturnFreeHeapMemory();

}  // namespace vantrel::agent
