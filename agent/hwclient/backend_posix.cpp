// The hardware service publishes the firmware backend it runs in the registry
// store; only the "linux" backend's words are known to the agent.
#include "agent/hwclient/hardware_client.h"
#include "common/registry.h"

namespace vantrel::agent {

bool LinuxFirmwareBackendInUse() {
  return reg::ReadString(reg::SystemRegistry(), reg::Root::kLocalMachine, reg::kPlatformKey,
                         L"FirmwareBackendInUse") == std::wstring(L"linux");
}

}  // namespace vantrel::agent
