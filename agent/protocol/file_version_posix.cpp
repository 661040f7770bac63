#include "agent/protocol/client_message.h"
#include "agent/protocol/file_version.h"

namespace vantrel::agent {

// No resources on Linux: the build's project version stands in for them.
std::string GetFileVersionString() {
  return FormatFileVersion((VANTREL_VERSION_MAJOR & 0xFFFFu) << 16 | (VANTREL_VERSION_MINOR & 0xFFFFu),
                           (VANTREL_VERSION_PATCH & 0xFFFFu) << 16 | (VANTREL_VERSION_TWEAK & 0xFFFFu));
}

}  // namespace vantrel::agent
