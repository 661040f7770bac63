// Byte-exact replies of the client protocol (cipher off).
#include <chrono>
#include <optional>

#include "agent/protocol/client_message.h"
#include "agent/protocol/file_version.h"
#include "common/names.h"
#include "tests/unit/agent/proto_support.h"

namespace vantrel::agent {
namespace {

using testing::Block;

class ProtoReplies : public ::testing::Test {
 protected:
  void SetUp() override { SetMonitorDataHandler(nullptr); }
  void TearDown() override { SetMonitorDataHandler(nullptr); }

  std::string Answer(const std::vector<uint8_t>& block) {
    std::optional<std::string> out = ProcessClientBlock(block.data(), static_cast<uint32_t>(block.size()));
    return out ? *out : std::string("<no reply>");
  }

  testing::ScopedFakeRegistry registry_;
  testing::CapturedLog log_;
  // No hardware service answers under this instance name.
  testing::ScopedEnvVar instance_{"VANTREL_INSTANCE", text::ToUtf8(testing::UniqueName(L"proto"))};
};

const char kRejected[] = "{\n\t\"result\" : \"3\"\n}\n";

TEST_F(ProtoReplies, VersionAndRejectedFunctions) {
  EXPECT_EQ(Answer(Block(0, R"({"Function": "VERSION"})")),
            "{\n\t\"data\" : \"" + GetFileVersionString() + "\",\n\t\"request\" : \"VERSION\",\n\t\"result\" : \"0\"\n}\n");
  EXPECT_EQ(log_.Count(L"command_id : INITIALIZATION"), 1u);

  // Extra members are ignored; comments are accepted by the permissive parser.
  EXPECT_EQ(Answer(Block(0, "{\"x\": 1, /* c */ \"Function\": \"VERSION\"}")),
            "{\n\t\"data\" : \"" + GetFileVersionString() + "\",\n\t\"request\" : \"VERSION\",\n\t\"result\" : \"0\"\n}\n");

  EXPECT_EQ(Answer(Block(0, R"({"Function": "version"})")),
            "{\n\t\"request\" : \"version\",\n\t\"result\" : \"3\"\n}\n");
  EXPECT_EQ(Answer(Block(0, R"({"Function": 7})")), "{\n\t\"request\" : 7,\n\t\"result\" : \"3\"\n}\n");
  EXPECT_EQ(Answer(Block(0, "{}")), "{\n\t\"request\" : null,\n\t\"result\" : \"3\"\n}\n");
  EXPECT_EQ(Answer(Block(0, "null")), "{\n\t\"request\" : null,\n\t\"result\" : \"3\"\n}\n");
  EXPECT_EQ(Answer(Block(0, R"({"Function": "VERSION "})")),
            "{\n\t\"request\" : \"VERSION \",\n\t\"result\" : \"3\"\n}\n");
}

TEST_F(ProtoReplies, UnconvertibleBodiesAreRejectedKeepingWhatWasSet) {
  // A "Function" array cannot become text: the request member stays in the reply.
  EXPECT_EQ(Answer(Block(0, R"({"Function": [1]})")),
            "{\n\t\"request\" : \n\t[\n\t\t1\n\t],\n\t\"result\" : \"3\"\n}\n");
  // A root that is not an object cannot be indexed by name.
  EXPECT_EQ(Answer(Block(0, "[1, 2]")), kRejected);
  EXPECT_EQ(Answer(Block(0, "42")), kRejected);
  EXPECT_EQ(log_.Count(L"Parse command_id Failed."), 3u);
}

TEST_F(ProtoReplies, CommandNumbers) {
  EXPECT_EQ(Answer(Block(5, R"({"Function": "VERSION"})")), kRejected);
  EXPECT_EQ(log_.Count(L"Parse command_id Failed."), 1u);

  // 00 00 00 0A is a large number, not GET_MONITOR_DATA.
  std::vector<uint8_t> swapped = Block(0, R"({"Function": "VERSION"})");
  swapped[7] = 0x0A;
  EXPECT_EQ(Answer(swapped), kRejected);
  EXPECT_EQ(log_.Count(L"Parse command_id Failed."), 2u);

  // Command 10 ignores its body; without a report installed it is a failed collection.
  EXPECT_EQ(Answer(Block(10, R"({"Function": "VERSION"})")),
            "{\n\t\"request\" : \"GET_MONITOR_DATA\",\n\t\"result\" : \"1\"\n}\n");
  EXPECT_EQ(log_.Count(L"command_id : GET_MONITOR_DATA"), 1u);
}

TEST_F(ProtoReplies, MonitorDataHookFillsTheReply) {
  SetMonitorDataHandler([](TXSocket& request) {
    Json::Value data(Json::objectValue);
    data["CPU_USAGE"] = 12.5;
    data["CPU_MAX_FREQUENCY"] = 5000;
    request.response["data"] = data;
    request.response["result"] = "0";
  });
  EXPECT_EQ(Answer(Block(10, R"({"Function": "VERSION"})")),
            "{\n\t\"data\" : \n\t{\n\t\t\"CPU_MAX_FREQUENCY\" : 5000,\n\t\t\"CPU_USAGE\" : 12.5\n\t},\n"
            "\t\"request\" : \"GET_MONITOR_DATA\",\n\t\"result\" : \"0\"\n}\n");
}

TEST_F(ProtoReplies, FramingFailures) {
  // A header alone: an empty body fails the parse.
  EXPECT_EQ(Answer(Block(0, "")), kRejected);
  EXPECT_EQ(log_.Count(L"Parse Json Failed."), 1u);

  // Bad magic and bad JSON: the parse is checked first.
  EXPECT_EQ(Answer(Block(0, "{not json", "XNTL")), kRejected);
  EXPECT_EQ(log_.Count(L"Parse Json Failed."), 2u);
  EXPECT_EQ(log_.Count(L"Parse Magic value Failed."), 0u);

  EXPECT_EQ(Answer(Block(0, R"({"Function": "VERSION"})", "vntl")), kRejected);
  std::vector<uint8_t> nul_magic = Block(0, R"({"Function": "VERSION"})");
  nul_magic[3] = 0;
  EXPECT_EQ(Answer(nul_magic), kRejected);
  EXPECT_EQ(log_.Count(L"Parse Magic value Failed."), 2u);
}

TEST_F(ProtoReplies, BodyEndsAtFirstNul) {
  std::vector<uint8_t> block = Block(0, R"({"Function": "version"})");
  block.push_back(0);
  const std::string tail = R"(garbage {"Function": "VERSION"})";
  block.insert(block.end(), tail.begin(), tail.end());
  EXPECT_EQ(Answer(block), "{\n\t\"request\" : \"version\",\n\t\"result\" : \"3\"\n}\n");
}

TEST_F(ProtoReplies, ShortBlocksGetNoReplyAndLeaveNoTrace) {
  const std::vector<uint8_t> full = Block(0, "");
  for (uint32_t n = 0; n < kHeaderSize; ++n) {
    EXPECT_FALSE(ProcessClientBlock(full.data(), n).has_value()) << n;
  }
  EXPECT_FALSE(TXSocket::FromMessage(full.data(), 7).has_value());
  EXPECT_EQ(log_.Text().find(L"Parse"), std::wstring::npos);
  // The next request is answered as usual.
  EXPECT_EQ(Answer(Block(0, R"({"Function": 7})")), "{\n\t\"request\" : 7,\n\t\"result\" : \"3\"\n}\n");
}

TEST_F(ProtoReplies, OverlongBlockIsCutToTheMessageSize) {
  // JSON that only closes beyond the message size no longer parses.
  std::string body = R"({"Function": "VERSION", "pad": ")";
  body.append(kMessageBufferSize, 'a');
  body += "\"}";
  EXPECT_EQ(Answer(Block(0, body)), kRejected);
  EXPECT_EQ(log_.Count(L"Parse Json Failed."), 1u);
}

TEST_F(ProtoReplies, CapabilityWithoutHardwareServiceHasNoResult) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Answer(Block(0, R"({"Function": "SUPPORT_SYSTEM_CAPABILITY"})")),
            "{\n\t\"request\" : \"SUPPORT_SYSTEM_CAPABILITY\"\n}\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(ProtoVersion, TextMatchesTheBuildVersion) {
  EXPECT_EQ(FormatFileVersion(0x00010000, 0x000003EB), "1.0.0.1003");
  EXPECT_EQ(FormatFileVersion(0xFFFF0002, 0x00030004), "65535.2.3.4");
#ifndef _WIN32
  // The test program has no version resource on Windows; the agent program's is checked there.
  EXPECT_EQ(GetFileVersionString(), VANTREL_VERSION_STRING);
#endif
}

}  // namespace
}  // namespace vantrel::agent
