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

// Install and remove the service, reporting on standard output; false when
// it failed.
bool InstallService();
bool UninstallService();
// The program's exit code for a failed install or removal: 1 on Linux, where
// scripts and package hooks need to see it; 0 on Windows, where the switches
// end with 0 in every case and installers may rely on it.
extern const int kInstallerFailedExitCode;

// The whole program: switches, usage text, service run. Always 0.
int ProgramMain(const std::vector<std::wstring>& args);

}  // namespace vantrel::supervisor
