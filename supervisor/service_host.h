// The service manager's half of the supervisor (Windows: the service control
// manager and the event log; Linux: systemd, syslog and logind).
#pragma once
#include <string>
#include <vector>

#include "supervisor/service_base.h"

namespace vantrel::supervisor {

// Hands the process to the service manager; returns once the service has
// stopped. When the service cannot run, prints why and returns false.
bool RunService(CServiceBase& service, const std::vector<std::wstring>& args);

}  // namespace vantrel::supervisor
