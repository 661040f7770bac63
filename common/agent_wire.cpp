#include "common/agent_wire.h"

namespace vantrel::agentwire {

std::string Request(uint32_t command, std::string_view json) {
  std::string block(kMagic, sizeof(kMagic));
  for (int i = 0; i < 4; ++i) block.push_back(static_cast<char>((command >> (8 * i)) & 0xFF));
  block.append(json);
  return block;
}

}  // namespace vantrel::agentwire
