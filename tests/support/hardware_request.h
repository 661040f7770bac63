// Calling a hardware-service handler directly with a request packed and
// parsed as the pipe server does it, and reading its reply.
#pragma once
#include <cstdint>
#include <vector>

#include "common/pipe_message.h"

namespace vantrel::testing {

using Bytes = std::vector<uint8_t>;

// A request that does not parse against the command table fails the test and
// gives no reply.
pipe::PipeReply CallHardwareHandler(const pipe::PipeCommandHandler& handler, uint16_t command,
                                    const std::vector<Bytes>& args = {});
// The reply's only argument; a reply of another shape fails the test and reads empty.
Bytes SingleArg(const pipe::PipeReply& reply);
// The reply's only argument as a u32; another shape fails the test and reads 0xDEADBEEF.
uint32_t SingleU32(const pipe::PipeReply& reply);

}  // namespace vantrel::testing
