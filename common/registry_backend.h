// Link between the portable registry front (registry.cpp) and the platform
// backend (registry_win.cpp / registry_posix.cpp).
#pragma once
#include "common/registry.h"

namespace vantrel::reg::detail {

// The real registry of this target; lives for the whole process.
Registry& NativeRegistry();

}  // namespace vantrel::reg::detail
