// -install and -uninstall: the service's registration with the service
// manager (Windows: the service control manager; Linux: a systemd unit).
#pragma once

namespace vantrel::supervisor {

// Install and remove the service, reporting on standard output; false when
// it failed.
bool InstallService();
bool UninstallService();
// The program's exit code for a failed install or removal: 1 on Linux, where
// scripts and package hooks need to see it; 0 on Windows, where the switches
// end with 0 in every case and installers may rely on it.
extern const int kInstallerFailedExitCode;

}  // namespace vantrel::supervisor
