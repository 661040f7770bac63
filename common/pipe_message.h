// Packed pipe messages, portable. A request is a u16 command id, a u8 argument
// count and that many (u32 length, bytes) arguments; a reply is the same
// argument list without the command id. All little-endian.
#pragma once
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vantrel::pipe {

struct PipeArg {
  uint32_t length;
  const void* data;
};

// Largest message the transports carry whole (the Linux transport's limit).
inline constexpr size_t kMaxPipeMessage = 1u << 20;

// send_pipe_message's layout: exactly 3 + sum(4 + Li) bytes.
std::vector<uint8_t> PackRequest(uint16_t command, std::span<const PipeArg> args);
// build_pipe_reply's layout: exactly 1 + sum(4 + Li) bytes.
std::vector<uint8_t> build_pipe_reply(std::span<const PipeArg> args);
inline std::vector<uint8_t> build_pipe_reply(std::initializer_list<PipeArg> args) {
  return build_pipe_reply(std::span<const PipeArg>(args.begin(), args.size()));
}

// A validated request: every length field and argument lies inside the message.
// Holds a view of the message, which must outlive it.
class PipeRequest {
 public:
  // nullopt when shorter than 3 bytes, command id >= table_size, or an
  // argument overruns the message. Trailing bytes are ignored.
  static std::optional<PipeRequest> Parse(std::span<const uint8_t> message, size_t table_size);

  uint16_t command() const { return command_; }
  size_t arg_count() const { return offsets_.size(); }
  std::span<const uint8_t> message() const { return message_; }
  // Offset of each argument's first content byte within the message.
  const std::vector<uint32_t>& offsets() const { return offsets_; }
  // Argument i's bytes; nullopt when the request carries fewer arguments.
  std::optional<std::span<const uint8_t>> arg(size_t i) const;

  // Scalar inputs: a missing argument or one longer than the width reads 0;
  // a shorter one is read within its length (little-endian, zero-extended).
  uint32_t U32Arg(size_t i) const;
  uint64_t U64Arg(size_t i) const;
  // A NUL-terminated UTF-16LE argument; nullopt when missing, of odd length or without NUL.
  std::optional<std::wstring> StringArg(size_t i) const;

 private:
  std::span<const uint8_t> message_;
  uint16_t command_ = 0;
  std::vector<uint32_t> offsets_;
};

// Splits a reply into its arguments; nullopt when malformed.
std::optional<std::vector<std::span<const uint8_t>>> ParseReply(std::span<const uint8_t> reply);

// nullopt: the handler sends no reply.
using PipeReply = std::optional<std::vector<uint8_t>>;
using PipeCommandHandler = std::function<PipeReply(const PipeRequest&)>;

// Command 0 of both servers: a UTF-16LE text dump of the arguments.
PipeReply dump_arguments(const PipeRequest& request);

// Little-endian helpers for building and reading arguments.
std::vector<uint8_t> U32Bytes(uint32_t v);
std::vector<uint8_t> U64Bytes(uint64_t v);
uint32_t ReadU32Le(const uint8_t* p);
uint64_t ReadU64Le(const uint8_t* p);

}  // namespace vantrel::pipe
