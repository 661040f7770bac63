#include "agent/server/heap_release.h"

#include <cstdlib>  // defines __GLIBC__ on glibc
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace vantrel::agent {

void ReturnFreeHeapMemory() {
#if defined(__GLIBC__)
  // Trims every arena, including free pages inside the heap, not only its top.
  malloc_trim(0);
#endif
}

}  // namespace vantrel::agent
