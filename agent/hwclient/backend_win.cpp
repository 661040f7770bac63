// The Windows firmware's words are its own: the agent never decodes them.
#include "agent/hwclient/hardware_client.h"

namespace vantrel::agent {

bool LinuxFirmwareBackendInUse() { return false; }

}  // namespace vantrel::agent
