#include "agent/protocol/file_version.h"

#include <cstdio>

namespace vantrel::agent {

std::string FormatFileVersion(uint32_t version_ms, uint32_t version_ls) {
  char text[25] = {};
  std::snprintf(text, sizeof(text), "%hu.%hu.%hu.%hu", static_cast<unsigned short>(version_ms >> 16),
                static_cast<unsigned short>(version_ms & 0xFFFF), static_cast<unsigned short>(version_ls >> 16),
                static_cast<unsigned short>(version_ls & 0xFFFF));
  return text;
}

}  // namespace vantrel::agent
