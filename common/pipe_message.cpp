#include "common/pipe_message.h"

#include <cstdio>
#include <limits>
#include <stdexcept>

namespace vantrel::pipe {
namespace {

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Packs the (length, bytes) list after a header; sized exactly up front so the
// buffer is one allocation.
std::vector<uint8_t> PackArgs(std::vector<uint8_t> header, std::span<const PipeArg> args) {
  if (args.size() > 255) throw std::invalid_argument("too many pipe arguments");
  size_t total = header.size();
  for (const PipeArg& a : args) {
    if (a.length != 0 && a.data == nullptr) throw std::invalid_argument("pipe argument without data");
    total += 4 + static_cast<size_t>(a.length);
  }
  std::vector<uint8_t> out;
  out.reserve(total);
  out.insert(out.end(), header.begin(), header.end());
  for (const PipeArg& a : args) {
    PutU32(out, a.length);
    const auto* p = static_cast<const uint8_t*>(a.data);
    if (a.length != 0) out.insert(out.end(), p, p + a.length);
  }
  return out;
}

// Walks `count` (u32 length, bytes) entries from `pos`; false when any length
// field or argument would reach past the end.
bool WalkArgs(std::span<const uint8_t> m, size_t pos, size_t count, std::vector<uint32_t>* offsets) {
  offsets->reserve(count);
  for (size_t i = 0; i < count; ++i) {
    if (m.size() - pos < 4) return false;
    const uint32_t len = ReadU32Le(m.data() + pos);
    pos += 4;
    if (m.size() - pos < len) return false;
    offsets->push_back(static_cast<uint32_t>(pos));
    pos += len;
  }
  return true;
}

// Appends ASCII text as UTF-16LE code units.
void AppendAsciiUtf16(std::vector<uint8_t>& out, const char* s) {
  for (; *s != '\0'; ++s) {
    out.push_back(static_cast<uint8_t>(*s));
    out.push_back(0);
  }
}

}  // namespace

std::vector<uint8_t> PackRequest(uint16_t command, std::span<const PipeArg> args) {
  std::vector<uint8_t> header{static_cast<uint8_t>(command & 0xFF), static_cast<uint8_t>(command >> 8),
                              static_cast<uint8_t>(args.size())};
  return PackArgs(std::move(header), args);
}

std::vector<uint8_t> build_pipe_reply(std::span<const PipeArg> args) {
  return PackArgs({static_cast<uint8_t>(args.size())}, args);
}

std::optional<PipeRequest> PipeRequest::Parse(std::span<const uint8_t> message, size_t table_size) {
  // Offsets are 32-bit; no transport carries a message anywhere near that size.
  if (message.size() < 3 || message.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  PipeRequest r;
  r.command_ = static_cast<uint16_t>(message[0] | (message[1] << 8));
  if (r.command_ >= table_size) return std::nullopt;
  if (!WalkArgs(message, 3, message[2], &r.offsets_)) return std::nullopt;
  r.message_ = message;
  return r;
}

std::optional<std::span<const uint8_t>> PipeRequest::arg(size_t i) const {
  if (i >= offsets_.size()) return std::nullopt;
  const uint32_t off = offsets_[i];
  return message_.subspan(off, ReadU32Le(message_.data() + off - 4));
}

uint32_t PipeRequest::U32Arg(size_t i) const {
  auto a = arg(i);
  if (!a || a->size() > 4) return 0;
  uint32_t v = 0;
  for (size_t k = 0; k < a->size(); ++k) v |= static_cast<uint32_t>((*a)[k]) << (8 * k);
  return v;
}

uint64_t PipeRequest::U64Arg(size_t i) const {
  auto a = arg(i);
  if (!a || a->size() > 8) return 0;
  uint64_t v = 0;
  for (size_t k = 0; k < a->size(); ++k) v |= static_cast<uint64_t>((*a)[k]) << (8 * k);
  return v;
}

std::optional<std::wstring> PipeRequest::StringArg(size_t i) const {
  auto a = arg(i);
  if (!a || a->size() % 2 != 0) return std::nullopt;
  std::wstring out;
  const size_t units = a->size() / 2;
  for (size_t k = 0; k < units; ++k) {
    const uint32_t u = (*a)[2 * k] | ((*a)[2 * k + 1] << 8);
    if (u == 0) return out;
    if constexpr (sizeof(wchar_t) >= 4) {
      // Join surrogate pairs into code points where wchar_t is UTF-32; a lone
      // surrogate becomes U+FFFD rather than an invalid code point.
      if (u >= 0xD800 && u <= 0xDBFF && k + 1 < units) {
        const uint32_t lo = (*a)[2 * k + 2] | ((*a)[2 * k + 3] << 8);
        if (lo >= 0xDC00 && lo <= 0xDFFF) {
          out.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00)));
          ++k;
          continue;
        }
      }
      out.push_back(static_cast<wchar_t>(u >= 0xD800 && u <= 0xDFFF ? 0xFFFD : u));
    } else {
      out.push_back(static_cast<wchar_t>(u));
    }
  }
  return std::nullopt;  // no terminating NUL inside the argument
}

std::optional<std::vector<std::span<const uint8_t>>> ParseReply(std::span<const uint8_t> reply) {
  if (reply.empty()) return std::nullopt;
  std::vector<uint32_t> offsets;
  if (!WalkArgs(reply, 1, reply[0], &offsets)) return std::nullopt;
  std::vector<std::span<const uint8_t>> args;
  args.reserve(offsets.size());
  for (uint32_t off : offsets) args.push_back(reply.subspan(off, ReadU32Le(reply.data() + off - 4)));
  return args;
}

PipeReply dump_arguments(const PipeRequest& request) {
  std::vector<uint8_t> text;
  char piece[64];
  std::snprintf(piece, sizeof piece, "Number of arguments: %d\n", static_cast<int>(request.arg_count()));
  AppendAsciiUtf16(text, piece);
  for (size_t i = 0; i < request.arg_count(); ++i) {
    const std::span<const uint8_t> a = *request.arg(i);
    // Lengths are bounded by the message size, which the transports keep far below 2 GiB.
    std::snprintf(piece, sizeof piece, "arg%d size: %d, content: ", static_cast<int>(i),
                  static_cast<int>(a.size()));
    AppendAsciiUtf16(text, piece);
    for (uint8_t b : a) {
      std::snprintf(piece, sizeof piece, "%02x ", b);
      AppendAsciiUtf16(text, piece);
    }
    AppendAsciiUtf16(text, "\n");
  }
  text.push_back(0);
  text.push_back(0);
  return build_pipe_reply({PipeArg{static_cast<uint32_t>(text.size()), text.data()}});
}

std::vector<uint8_t> U32Bytes(uint32_t v) {
  std::vector<uint8_t> out;
  PutU32(out, v);
  return out;
}

std::vector<uint8_t> U64Bytes(uint64_t v) {
  std::vector<uint8_t> out;
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return out;
}

uint32_t ReadU32Le(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t ReadU64Le(const uint8_t* p) {
  return static_cast<uint64_t>(ReadU32Le(p)) | (static_cast<uint64_t>(ReadU32Le(p + 4)) << 32);
}

}  // namespace vantrel::pipe
