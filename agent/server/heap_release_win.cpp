#include "agent/server/heap_release.h"

#include <malloc.h>

namespace vantrel::agent {

void ReturnFreeHeapMemory() { _heapmin(); }

}  // namespace vantrel::agent
