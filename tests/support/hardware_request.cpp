#include "tests/support/hardware_request.h"

#include <gtest/gtest.h>

#include "common/hardware_commands.h"

namespace vantrel::testing {

pipe::PipeReply CallHardwareHandler(const pipe::PipeCommandHandler& handler, uint16_t command,
                                    const std::vector<Bytes>& args) {
  std::vector<pipe::PipeArg> packed;
  for (const Bytes& a : args) packed.push_back({static_cast<uint32_t>(a.size()), a.data()});
  const Bytes message = pipe::PackRequest(command, packed);
  const auto request = pipe::PipeRequest::Parse(message, velmont::kHardwareCommandSlots);
  if (!request) {
    ADD_FAILURE() << "command " << command << " does not parse";
    return std::nullopt;
  }
  return handler(*request);
}

Bytes SingleArg(const pipe::PipeReply& reply) {
  const auto parsed = reply ? pipe::ParseReply(*reply) : std::nullopt;
  if (!parsed || parsed->size() != 1) {
    ADD_FAILURE() << "expected a reply with one argument";
    return {};
  }
  return Bytes((*parsed)[0].begin(), (*parsed)[0].end());
}

uint32_t SingleU32(const pipe::PipeReply& reply) {
  const Bytes arg = SingleArg(reply);
  if (arg.size() != 4) {
    ADD_FAILURE() << "expected a 4-byte argument, got " << arg.size();
    return 0xDEADBEEF;
  }
  return pipe::ReadU32Le(arg.data());
}

}  // namespace vantrel::testing
