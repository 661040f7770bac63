#include <cstdio>

#include "common/diag_log.h"
#include "common/program_info.h"
#include "supervisor/command_line.h"
#include "supervisor/installer.h"
#include "supervisor/program.h"
#include "supervisor/service_host.h"
#include "supervisor/service_instance.h"
#include "supervisor/system_platform.h"

namespace vantrel::supervisor {

int ProgramMain(const std::vector<std::wstring>& args) {
  std::unique_ptr<DiagnosticLog> log = OpenDiagnosticLog(kLogSwitch, kLogModule);

  switch (ParseCommandLine(args)) {
    case CommandAction::kInstall:
      return InstallService() ? 0 : kInstallerFailedExitCode;
    case CommandAction::kUninstall:
      return UninstallService() ? 0 : kInstallerFailedExitCode;
    case CommandAction::kHelp:
      std::fputs(kHelpText, stdout);
      return 0;
    case CommandAction::kVersion:
      std::fputs(VersionText(kProgramName).c_str(), stdout);
      return 0;
    case CommandAction::kIgnore:
      return 0;
    case CommandAction::kRunService:
      break;
  }

  std::fputs(kUsageText, stdout);
  std::fflush(stdout);
  std::unique_ptr<SupervisorPlatform> platform = MakeSystemPlatform();
  {
    CServiceInstance service(kServiceName, std::move(log), platform.get());
    RunService(service, args);
  }
  return 0;
}

}  // namespace vantrel::supervisor
