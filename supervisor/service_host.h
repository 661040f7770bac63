// The platform half of the supervisor: the service manager, the installer and
// the operating-system services the supervisor uses.
#pragma once
#include <memory>
#include <vector>

#include "supervisor/service_base.h"
#include "supervisor/service_instance.h"

namespace vantrel::supervisor {

std::unique_ptr<SupervisorPlatform> MakeSystemPlatform();

// Hands the process to the service manager; returns once the service has
// stopped. When the service cannot run, prints why and returns false.
bool RunService(CServiceBase& service, const std::vector<std::wstring>& args);

// Install and remove the service, reporting on standard output.
void InstallService();
void UninstallService();

// The whole program: switches, usage text, service run. Always 0.
int ProgramMain(const std::vector<std::wstring>& args);

}  // namespace vantrel::supervisor
