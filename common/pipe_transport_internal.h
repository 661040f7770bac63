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

// Chunk size of every pipe read; the message buffer starts at this capacity.
inline constexpr uint32_t kChunkSize = 512;

// The server end of one connection as the per-connection worker sees it.
class ServerChannel {
 public:
  virtual ~ServerChannel() = default;
  // Message-mode read: ERROR_MORE_DATA when the message goes on.
  virtual uint32_t ReadChunk(void* buffer, uint32_t capacity, uint32_t* bytes_read) = 0;
  // The whole message in one write; 0 or a Win32 error (a short write is an error).
  virtual uint32_t Write(std::span<const uint8_t> message) = 0;
};

using ChunkReader = std::function<uint32_t(void* buffer, uint32_t capacity, uint32_t* bytes_read)>;

// Reads one message in 512-byte chunks into `message`, growing its capacity by
// doubling only when the next chunk would not fit. 0 or the failing read's error.
uint32_t ReadWholeMessage(const ChunkReader& read, std::vector<uint8_t>* message);

// serve_pipe_connection's loop: reads, validates and dispatches requests and
// writes their replies until the client leaves, a request is malformed or a
// read or write fails (or `stopping` is set).
void ServeConnection(ServerChannel& channel, const std::vector<PipeCommandHandler>& table,
                     const std::wstring& base_name, const std::atomic<bool>& stopping);

// ASCII-widening for exception texts and numbers in log lines.
std::wstring Widen(const char* s);

}  // namespace vantrel::pipe::detail
