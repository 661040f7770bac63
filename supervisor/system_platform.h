// The operating system as the supervisor uses it: the platform's
// SupervisorPlatform (processes, files, threads).
#pragma once
#include <memory>

#include "supervisor/service_instance.h"

namespace vantrel::supervisor {

std::unique_ptr<SupervisorPlatform> MakeSystemPlatform();

}  // namespace vantrel::supervisor
