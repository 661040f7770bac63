#include "common/pipe_message.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace vantrel::pipe {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Utf16Z(const std::string& ascii) {
  Bytes out;
  for (char c : ascii) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(0);
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

TEST(PipeMessageLayout, RequestAndReplyBytesAreExact) {
  const uint8_t a[] = {0xAA, 0xBB};
  const uint32_t v = 0x11223344;
  const PipeArg args[] = {{2, a}, {4, &v}, {0, nullptr}};
  const Bytes req = PackRequest(0x1234, args);
  const Bytes want = {0x34, 0x12, 3, 2, 0, 0, 0, 0xAA, 0xBB, 4, 0, 0, 0, 0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0};
  EXPECT_EQ(req, want);
  EXPECT_EQ(PackRequest(7, {}), (Bytes{7, 0, 0}));

  const Bytes u32 = build_pipe_reply({PipeArg{4, &v}});
  ASSERT_EQ(u32.size(), 9u);
  EXPECT_EQ(u32[0], 1);
  EXPECT_EQ(ReadU32Le(u32.data() + 5), v);
  const uint64_t q = 0x0102030405060708ull;
  const Bytes u64 = build_pipe_reply({PipeArg{8, &q}});
  ASSERT_EQ(u64.size(), 13u);
  EXPECT_EQ(ReadU64Le(u64.data() + 5), q);
  EXPECT_EQ(build_pipe_reply({}), Bytes{0});

  EXPECT_EQ(U32Bytes(0xA1B2C3D4), (Bytes{0xD4, 0xC3, 0xB2, 0xA1}));
  EXPECT_EQ(ReadU64Le(U64Bytes(0xFEDCBA9876543210ull).data()), 0xFEDCBA9876543210ull);
}

TEST(PipeMessageLayout, PackingRefusesWhatCannotBeEncoded) {
  std::vector<PipeArg> many(256, PipeArg{0, nullptr});
  EXPECT_THROW(PackRequest(0, many), std::invalid_argument);
  EXPECT_THROW(build_pipe_reply(many), std::invalid_argument);
  const PipeArg dangling[] = {{3, nullptr}};
  EXPECT_THROW(PackRequest(0, dangling), std::invalid_argument);
  many.resize(255);
  EXPECT_EQ(PackRequest(0, many)[2], 255);
}

TEST(PipeRequestParse, ValidationRules) {
  // Too short.
  EXPECT_FALSE(PipeRequest::Parse(Bytes{0, 0}, 7));
  EXPECT_FALSE(PipeRequest::Parse(Bytes{}, 7));
  // Zero arguments: 3 bytes, empty offset table.
  auto zero = PipeRequest::Parse(Bytes{6, 0, 0}, 7);
  ASSERT_TRUE(zero);
  EXPECT_EQ(zero->command(), 6);
  EXPECT_EQ(zero->arg_count(), 0u);
  EXPECT_TRUE(zero->offsets().empty());
  // Command id at the table size and above.
  EXPECT_FALSE(PipeRequest::Parse(Bytes{7, 0, 0}, 7));
  EXPECT_FALSE(PipeRequest::Parse(Bytes{39, 0, 0}, 39));
  EXPECT_TRUE(PipeRequest::Parse(Bytes{38, 0, 0}, 39));
  EXPECT_FALSE(PipeRequest::Parse(Bytes{0, 1, 0}, 39));  // id 256
  EXPECT_FALSE(PipeRequest::Parse(Bytes{0, 0, 0}, 0));

  const uint8_t data[] = {1, 2, 3};
  const PipeArg one[] = {{3, data}};
  Bytes req = PackRequest(0, one);
  // Exact fit, then one byte short (the argument overruns by one).
  ASSERT_TRUE(PipeRequest::Parse(req, 7));
  Bytes cut(req.begin(), req.end() - 1);
  EXPECT_FALSE(PipeRequest::Parse(cut, 7));
  // Trailing bytes after the last argument are ignored.
  Bytes trailing = req;
  trailing.insert(trailing.end(), {9, 9, 9, 9, 9});
  auto t = PipeRequest::Parse(trailing, 7);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->arg_count(), 1u);
  EXPECT_EQ(t->arg(0)->size(), 3u);
  // A length field that itself lies partly outside.
  EXPECT_FALSE(PipeRequest::Parse(Bytes{0, 0, 1, 0, 0, 0}, 7));
  // A count promising more arguments than present.
  Bytes more = req;
  more[2] = 2;
  EXPECT_FALSE(PipeRequest::Parse(more, 7));
  // A huge declared length must not wrap around.
  EXPECT_FALSE(PipeRequest::Parse(Bytes{0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 1}, 7));
  EXPECT_FALSE(PipeRequest::Parse(Bytes{0, 0, 2, 0, 0, 0, 0, 0xFC, 0xFF, 0xFF, 0xFF}, 7));
}

TEST(PipeRequestParse, OffsetsAndArgumentAccessors) {
  const uint32_t v32 = 0xCAFEBABE;
  const uint64_t v64 = 0x1122334455667788ull;
  const uint8_t two[] = {0x34, 0x12};
  const uint8_t five[] = {1, 2, 3, 4, 5};
  const Bytes name = Utf16Z("fan");
  const PipeArg args[] = {{4, &v32}, {8, &v64}, {2, two}, {5, five}, {0, nullptr},
                          {static_cast<uint32_t>(name.size()), name.data()}};
  const Bytes req = PackRequest(3, args);
  auto r = PipeRequest::Parse(req, 7);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->arg_count(), 6u);
  EXPECT_EQ(r->offsets(), (std::vector<uint32_t>{7, 15, 27, 33, 42, 46}));
  for (size_t i = 0; i < r->arg_count(); ++i) {
    EXPECT_EQ(ReadU32Le(req.data() + r->offsets()[i] - 4), r->arg(i)->size()) << i;
  }
  EXPECT_FALSE(r->arg(6));

  EXPECT_EQ(r->U32Arg(0), v32);
  EXPECT_EQ(r->U64Arg(1), v64);
  EXPECT_EQ(r->U64Arg(0), v32);      // shorter: zero-extended
  EXPECT_EQ(r->U32Arg(2), 0x1234u);  // shorter: read within its length
  EXPECT_EQ(r->U32Arg(1), 0u);       // longer than the width
  EXPECT_EQ(r->U32Arg(3), 0u);
  EXPECT_EQ(r->U64Arg(3), 0x0504030201ull);
  EXPECT_EQ(r->U32Arg(4), 0u);  // empty
  EXPECT_EQ(r->U32Arg(99), 0u);
  EXPECT_EQ(r->U64Arg(99), 0u);

  EXPECT_EQ(r->StringArg(5), std::wstring(L"fan"));
  EXPECT_FALSE(r->StringArg(3));  // odd length
  EXPECT_FALSE(r->StringArg(2));  // no NUL
  EXPECT_FALSE(r->StringArg(4));  // empty: no NUL either
  EXPECT_FALSE(r->StringArg(99));
}

TEST(PipeRequestParse, StringArgumentStopsAtFirstNulAndKeepsNonAscii) {
  const Bytes s = {'a', 0, 0, 0, 'b', 0, 0, 0};
  const Bytes nonascii = {0xE9, 0x00, 0x3D, 0xD8, 0x00, 0xDE, 0, 0};  // é, U+1F600
  const PipeArg args[] = {{8, s.data()}, {8, nonascii.data()}};
  const Bytes req = PackRequest(1, args);
  auto r = PipeRequest::Parse(req, 2);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->StringArg(0), std::wstring(L"a"));
  const std::wstring w = *r->StringArg(1);
  ASSERT_FALSE(w.empty());
  EXPECT_EQ(w[0], L'\u00e9');
  if constexpr (sizeof(wchar_t) == 2) {
    EXPECT_EQ(w.size(), 3u);
  } else {
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(static_cast<uint32_t>(w[1]), 0x1F600u);
  }
}

TEST(PipeReplyParse, RoundTripAndMalformed) {
  const uint32_t v = 5;
  const uint8_t b[] = {9, 8, 7};
  const Bytes reply = build_pipe_reply({PipeArg{4, &v}, PipeArg{3, b}});
  auto args = ParseReply(reply);
  ASSERT_TRUE(args);
  ASSERT_EQ(args->size(), 2u);
  EXPECT_EQ(ReadU32Le((*args)[0].data()), 5u);
  EXPECT_EQ(Bytes((*args)[1].begin(), (*args)[1].end()), (Bytes{9, 8, 7}));
  EXPECT_FALSE(ParseReply(Bytes{}));
  EXPECT_FALSE(ParseReply(Bytes(reply.begin(), reply.end() - 1)));
  EXPECT_FALSE(ParseReply(Bytes{1, 4, 0, 0}));
  auto empty = ParseReply(Bytes{0});
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

// Arbitrary bytes and every truncation of a valid request must be refused or
// accepted without reading outside the message (ASan guards the reads).
TEST(PipeRequestParse, NeverReadsOutsideTheMessage) {
  const uint8_t data[] = {1, 2, 3, 4, 5, 6, 7};
  const PipeArg args[] = {{7, data}, {0, nullptr}, {3, data}};
  const Bytes req = PackRequest(2, args);
  for (size_t n = 0; n < req.size(); ++n) {
    Bytes cut(req.begin(), req.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_FALSE(PipeRequest::Parse(cut, 7)) << n;
  }
  std::mt19937 rng(42);
  for (int round = 0; round < 2000; ++round) {
    Bytes m(rng() % 40);
    for (auto& c : m) c = static_cast<uint8_t>(rng() % 8);  // small values make plausible lengths
    if (auto r = PipeRequest::Parse(m, 7)) {
      for (size_t i = 0; i < r->arg_count(); ++i) {
        auto a = *r->arg(i);
        ASSERT_GE(a.data(), m.data());
        ASSERT_LE(a.data() + a.size(), m.data() + m.size());
        (void)r->StringArg(i);
        (void)r->U64Arg(i);
      }
    }
    (void)ParseReply(m);
  }
}

TEST(DumpArguments, ExactUtf16Text) {
  const uint8_t data[] = {1, 2, 3};
  const PipeArg args[] = {{3, data}};
  const Bytes req = PackRequest(0, args);
  auto r = PipeRequest::Parse(req, 7);
  ASSERT_TRUE(r);
  const PipeReply reply = dump_arguments(*r);
  ASSERT_TRUE(reply);
  auto out = ParseReply(*reply);
  ASSERT_TRUE(out);
  ASSERT_EQ(out->size(), 1u);
  const Bytes want = Utf16Z("Number of arguments: 1\narg0 size: 3, content: 01 02 03 \n");
  EXPECT_EQ(Bytes((*out)[0].begin(), (*out)[0].end()), want);
  EXPECT_EQ(reply->size(), 1 + 4 + want.size());

  auto none = PipeRequest::Parse(Bytes{0, 0, 0}, 7);
  const PipeReply none_reply = dump_arguments(*none);
  auto dumped = ParseReply(*none_reply);
  EXPECT_EQ(Bytes((*dumped)[0].begin(), (*dumped)[0].end()), Utf16Z("Number of arguments: 0\n"));

  const uint8_t ff[] = {0xFF, 0x0A};
  const PipeArg two[] = {{0, nullptr}, {2, ff}};
  const Bytes req2 = PackRequest(0, two);
  const PipeReply reply2 = dump_arguments(*PipeRequest::Parse(req2, 7));
  auto d2 = ParseReply(*reply2);
  EXPECT_EQ(Bytes((*d2)[0].begin(), (*d2)[0].end()),
            Utf16Z("Number of arguments: 2\narg0 size: 0, content: \narg1 size: 2, content: ff 0a \n"));
}

}  // namespace
}  // namespace vantrel::pipe
