// The pipe request and reply codec against an independent walk of the same
// layout: what Parse accepts, the argument views and scalar readers, and the
// round trips through PackRequest and build_pipe_reply.
#include <cstring>
#include <optional>
#include <vector>

#include "common/pipe_message.h"
#include "common/text.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using vantrel::pipe::PipeArg;

struct Walk {
  std::vector<std::pair<size_t, size_t>> args;  // offset, length
  size_t end = 0;                               // one past the last argument
};

// The layout walked with wide arithmetic: count at `count_at`, then
// (u32 length, bytes) entries that must lie inside the message.
std::optional<Walk> ReferenceWalk(std::span<const uint8_t> m, size_t count_at) {
  if (m.size() <= count_at) return std::nullopt;
  Walk w;
  uint64_t pos = count_at + 1;
  for (unsigned i = 0; i < m[count_at]; ++i) {
    if (pos + 4 > m.size()) return std::nullopt;
    uint64_t len = 0;
    for (int k = 3; k >= 0; --k) len = (len << 8) | m[pos + k];
    pos += 4;
    if (pos + len > m.size()) return std::nullopt;
    w.args.emplace_back(pos, len);
    pos += len;
  }
  w.end = pos;
  return w;
}

uint64_t LittleEndian(std::span<const uint8_t> a) {
  uint64_t v = 0;
  for (size_t k = a.size(); k-- > 0;) v = (v << 8) | a[k];
  return v;
}

// The units before the first NUL unit, or nullopt; false in `plain` when a
// surrogate is among them (those are decoded, not copied).
std::optional<std::vector<uint16_t>> UnitsBeforeNul(std::span<const uint8_t> a, bool* plain) {
  *plain = true;
  if (a.size() % 2 != 0) return std::nullopt;
  std::vector<uint16_t> units;
  for (size_t k = 0; k + 1 < a.size(); k += 2) {
    const uint16_t u = static_cast<uint16_t>(a[k] | (a[k + 1] << 8));
    if (u == 0) return units;
    if (u >= 0xD800 && u <= 0xDFFF) *plain = false;
    units.push_back(u);
  }
  return std::nullopt;
}

void CheckRequest(std::span<const uint8_t> message, size_t table_size) {
  const auto parsed = vantrel::pipe::PipeRequest::Parse(message, table_size);
  std::optional<Walk> walk = ReferenceWalk(message, 2);
  const bool valid = message.size() >= 3 && static_cast<size_t>(message[0] | (message[1] << 8)) < table_size && walk;
  FUZZ_CHECK(parsed.has_value() == valid);
  if (!parsed) return;

  FUZZ_CHECK(parsed->command() == (message[0] | (message[1] << 8)));
  FUZZ_CHECK(parsed->arg_count() == walk->args.size());
  FUZZ_CHECK(!parsed->arg(parsed->arg_count()).has_value());
  std::vector<PipeArg> args;
  for (size_t i = 0; i < walk->args.size(); ++i) {
    const auto [off, len] = walk->args[i];
    const auto a = parsed->arg(i);
    FUZZ_CHECK(a && a->data() == message.data() + off && a->size() == len);
    FUZZ_CHECK(parsed->U32Arg(i) == (len <= 4 ? LittleEndian(*a) : 0));
    FUZZ_CHECK(parsed->U64Arg(i) == (len <= 8 ? LittleEndian(*a) : 0));
    bool plain = true;
    const auto units = UnitsBeforeNul(*a, &plain);
    const auto s = parsed->StringArg(i);
    FUZZ_CHECK(s.has_value() == units.has_value());
    if (s && plain) {
      FUZZ_CHECK(s->size() == units->size());
      for (size_t k = 0; k < units->size(); ++k) FUZZ_CHECK(static_cast<uint32_t>((*s)[k]) == (*units)[k]);
      // Well-formed text comes back byte for byte, NUL included.
      const std::vector<uint8_t> again = vantrel::text::ToUtf16LeZ(*s);
      FUZZ_CHECK(again.size() == 2 * units->size() + 2 && std::memcmp(again.data(), a->data(), again.size()) == 0);
    }
    args.push_back({static_cast<uint32_t>(len), a->data()});
  }

  // Packing the parsed arguments gives the message back without its trailing bytes.
  const std::vector<uint8_t> packed = vantrel::pipe::PackRequest(parsed->command(), args);
  FUZZ_CHECK(packed.size() == walk->end && std::memcmp(packed.data(), message.data(), walk->end) == 0);

  // A reply of the same arguments parses back to the same bytes.
  const std::vector<uint8_t> reply = vantrel::pipe::build_pipe_reply(args);
  const auto back = vantrel::pipe::ParseReply(reply);
  FUZZ_CHECK(back && back->size() == args.size());
  for (size_t i = 0; i < args.size(); ++i) {
    FUZZ_CHECK((*back)[i].size() == args[i].length &&
               std::memcmp((*back)[i].data(), args[i].data, args[i].length) == 0);
  }

  const auto dump = vantrel::pipe::dump_arguments(*parsed);
  FUZZ_CHECK(dump && vantrel::pipe::ParseReply(*dump) && vantrel::pipe::ParseReply(*dump)->size() == 1);
}

void CheckReply(std::span<const uint8_t> reply) {
  const auto parsed = vantrel::pipe::ParseReply(reply);
  const std::optional<Walk> walk = ReferenceWalk(reply, 0);
  FUZZ_CHECK(parsed.has_value() == walk.has_value());
  if (!parsed) return;
  FUZZ_CHECK(parsed->size() == walk->args.size());
  for (size_t i = 0; i < parsed->size(); ++i) {
    FUZZ_CHECK((*parsed)[i].data() == reply.data() + walk->args[i].first &&
               (*parsed)[i].size() == walk->args[i].second);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the table size, so both sides of the command bound are reached.
  const size_t table_size = data[0] < 0xF0 ? data[0] : 0x10000;
  const std::span<const uint8_t> message(data + 1, size - 1);
  CheckRequest(message, table_size);
  CheckReply(message);
  return 0;
}
