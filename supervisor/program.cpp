#include <cstdio>

#include "common/diag_log.h"
#include "supervisor/command_line.h"
#include "supervisor/service_host.h"

namespace vantrel::supervisor {

int ProgramMain(const std::vector<std::wstring>& args) {
  std::unique_ptr<DiagnosticLog> log = OpenDiagnosticLog(kLogSwitch, kLogModule);

  switch (ParseCommandLine(args)) {
    case CommandAction::kInstall:
      InstallService();
      return 0;
    case CommandAction::kUninstall:
      UninstallService();
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
