#include "common/names.h"

#include <cstdlib>
#include <string_view>

#include "common/text.h"

namespace vantrel::names {

std::wstring Instance(const std::wstring& base) {
  const char* suffix = std::getenv("VANTREL_INSTANCE");
  if (suffix == nullptr) return base;
  return base + text::FromUtf8(suffix);
}

uint16_t AgentPort() {
  const char* value = std::getenv("VANTREL_AGENT_PORT");
  if (value == nullptr) return kAgentPort;
  // Digits only, 1..65535; anything else (signs, spaces, overflow) falls back.
  std::string_view s(value);
  if (s.empty() || s.size() > 5) return kAgentPort;
  uint32_t port = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return kAgentPort;
    port = port * 10 + static_cast<uint32_t>(c - '0');
  }
  if (port == 0 || port > 65535) return kAgentPort;
  return static_cast<uint16_t>(port);
}

}  // namespace vantrel::names
