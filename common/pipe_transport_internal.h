// Pieces of the pipe transport shared by its Windows and Linux halves.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "common/pipe_message.h"

namespace vantrel::pipe::detail {

// The server end of one connection as the per-connection worker sees it.
class ServerChannel {
 public:
  virtual ~ServerChannel() = default;
  // The next whole message (Windows assembles it from message-mode reads;
  // a Linux seqpacket delivers it whole). 0 or a Win32 error.
  virtual uint32_t ReadMessage(std::vector<uint8_t>* message) = 0;
  // The whole message in one write; 0 or a Win32 error (a short write is an error).
  virtual uint32_t Write(std::span<const uint8_t> message) = 0;
};

// serve_pipe_connection's loop: reads, validates and dispatches requests and
// writes their replies until the client leaves, a request is malformed or a
// read or write fails (or `stopping` is set).
void ServeConnection(ServerChannel& channel, const std::vector<PipeCommandHandler>& table,
                     const std::wstring& base_name, const std::atomic<bool>& stopping);

// ASCII-widening for exception texts and numbers in log lines.
std::wstring Widen(const char* s);

}  // namespace vantrel::pipe::detail
