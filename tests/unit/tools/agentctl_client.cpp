// vantrelctl's agent client: splitting the reply stream into frames (plain
// replies, pushed notifications, Base64 enciphered replies) and the tables.
#include <gtest/gtest.h>

#include <cryptopp/aes.h>
#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/modes.h>

#include "tools/agent_client.h"

namespace vantrel::ctl {
namespace {

// What the agent sends for an enciphered request.
std::string AgentStyleReply(const std::string& text, const std::string& key) {
  std::string out;
  CryptoPP::ECB_Mode<CryptoPP::AES>::Encryption e;
  e.SetKey(reinterpret_cast<const uint8_t*>(key.data()), key.size());
  CryptoPP::StringSource(text, true,
                         new CryptoPP::StreamTransformationFilter(e, new CryptoPP::Base64Encoder(new CryptoPP::StringSink(out))));
  return out;
}

Json::Value Object(const char* name, const Json::Value& v) {
  Json::Value o(Json::objectValue);
  o[name] = v;
  return o;
}

TEST(AgentCtlFrames, PlainRepliesAndEventsSplitWherePushed) {
  Json::Value reply = Object("request", "VERSION");
  reply["data"] = "1.0.0.0";
  reply["result"] = "0";
  Json::Value event = Object("Function", "ADAPTOR_CHANGED");
  event["Parameter"] = Object("status", 1);
  const std::string stream = event.toStyledString() + reply.toStyledString() + Json::Value(Json::objectValue).toStyledString();

  // Fed a byte at a time, the frames come out whole and in order.
  AgentFrameReader reader;
  std::vector<AgentFrame> frames;
  for (char c : stream) {
    reader.Feed(&c, 1);
    while (std::optional<AgentFrame> f = reader.Next()) frames.push_back(*f);
  }
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_TRUE(frames[0].IsEvent());
  EXPECT_EQ(frames[0].value, event);
  EXPECT_FALSE(frames[1].IsEvent());
  EXPECT_EQ(frames[1].value, reply);
  EXPECT_EQ(frames[1].text, reply.toStyledString());
  EXPECT_TRUE(frames[2].value.isObject());
  EXPECT_EQ(reader.pending(), 0u);
}

TEST(AgentCtlFrames, EncipheredRepliesEndWhereTheyDecipher) {
  const std::string key = "0123456789abcdef0123456789ABCDEF";
  Json::Value event = Object("Function", "BATTERY_BOOST");
  event["Parameter"] = Object("status", 0);
  // Sizes whose Base64 ends mid-line and exactly at a 72-character line end.
  for (size_t pad : {0u, 1u, 37u, 38u, 390u, 500u, 3000u}) {
    Json::Value reply = Object("result", "0");
    reply["data"] = std::string(pad, 'x');
    const std::string stream = AgentStyleReply(reply.toStyledString(), key) + event.toStyledString();
    AgentFrameReader reader(key);
    std::vector<AgentFrame> frames;
    for (size_t at = 0; at < stream.size(); at += 50) {
      reader.Feed(stream.data() + at, std::min<size_t>(50, stream.size() - at));
      while (std::optional<AgentFrame> f = reader.Next()) frames.push_back(*f);
    }
    ASSERT_EQ(frames.size(), 2u) << pad;
    EXPECT_TRUE(frames[0].enciphered);
    EXPECT_EQ(frames[0].value, reply) << pad;
    EXPECT_TRUE(frames[1].IsEvent());
  }
}

TEST(AgentCtlFrames, RequestsAndTheirCipher) {
  const std::vector<uint8_t> block = BuildAgentRequest(10, "{}");
  EXPECT_EQ(block, (std::vector<uint8_t>{'V', 'N', 'T', 'L', 10, 0, 0, 0, '{', '}'}));
  const std::string cipher = EncipherRequest(block, kAgentDefaultKey);
  EXPECT_EQ(cipher.size(), 16u);
  EXPECT_EQ(EncipherRequest(block, "short"), "");
  const std::string base64 = AgentStyleReply("hello", kAgentDefaultKey);
  EXPECT_EQ(DecipherReply(base64, kAgentDefaultKey), std::optional<std::string>("hello"));
  EXPECT_EQ(DecipherReply(base64, "0123456789abcdeX"), std::nullopt);
}

TEST(AgentCtlFormat, MonitorTable) {
  Json::Value d(Json::objectValue);
  d["CPU_USAGE"] = 12.5;
  d["CPU_FREQUENCY"] = 2400.0;
  d["CPU_MAX_FREQUENCY"] = 5000;
  d["CPU_CORE_AMOUNT"] = 2;
  d["CPU_CORE_FREQUENCY"].append(2400.0);
  d["CPU_CORE_FREQUENCY"].append(-1.0);
  d["RAM_USAGE"] = 40.75;
  d["ETHERNET_UPLOAD"] = 0;
  d["CPU_TEMPERATURE"] = 60;
  d["GPU1_IDLE_STATUS"] = 0;
  d["GPU1_USAGE"] = -1;
  const std::string table = FormatMonitorTable(d);
  EXPECT_NE(table.find("usage 12.5 %"), std::string::npos) << table;
  EXPECT_NE(table.find("max 5000 MHz"), std::string::npos) << table;
  EXPECT_NE(table.find("core 0   2400.0 MHz"), std::string::npos) << table;
  EXPECT_NE(table.find("core 1   n/a"), std::string::npos) << table;
  EXPECT_EQ(table.find("core 2"), std::string::npos) << table;
  EXPECT_NE(table.find("usage 40.8 %"), std::string::npos) << table;
  EXPECT_NE(table.find("CPU 60 "), std::string::npos) << table;
  EXPECT_NE(table.find("total -"), std::string::npos) << table;  // absent keys
  EXPECT_NE(table.find("usage n/a"), std::string::npos) << table;

  Json::Value e = Object("Function", "PRESS_BRIGHTNESS_HOTKEY_BUTTON");
  e["Parameter"]["pressed_hotkey"] = 1;
  e["Parameter"]["brightness"] = 4;
  EXPECT_EQ(FormatEvent(e), "PRESS_BRIGHTNESS_HOTKEY_BUTTON brightness=4 pressed_hotkey=1");
}

}  // namespace
}  // namespace vantrel::ctl
