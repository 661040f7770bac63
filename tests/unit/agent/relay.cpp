// The event relay: brightness levels, notification texts, argument decoding,
// the walk over connected clients and the reply to the reporter.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>

#include "agent/relay/event_relay.h"
#include "agent/server/socket_server.h"

using namespace vantrel::agent;
using vantrel::pipe::PipeArg;
using vantrel::pipe::PipeRequest;

namespace {

class FakeSocket : public netcore::NetSocket {
 public:
  explicit FakeSocket(uint64_t id) : id_(id) {}
  uint64_t GetSocket() override { return id_; }
  uint16_t GetListenPort() override { return 1; }
  bool GetAddress(std::string& ip, uint16_t& port) override {
    ip = "127.0.0.1";
    port = 2;
    return true;
  }
  bool Write(const char* src, uint32_t len) override {
    std::lock_guard<std::mutex> l(m);
    writes.emplace_back(src, len);
    return true;
  }
  void Close() override {}
  void AddTimer(uint32_t, bool) override {}
  void StopTimer() override {}
  void SetContext(void*) override {}
  void* GetContext() override { return nullptr; }
  std::mutex m;
  std::vector<std::string> writes;

 private:
  uint64_t id_;
};

LightingStatus Lighting(const char* record, uint32_t brightness) {
  LightingStatus s;
  std::memcpy(s.device_record.data(), record, std::min(std::strlen(record), s.device_record.size()));
  s.brightness = brightness;
  return s;
}

struct Request {
  std::vector<uint8_t> bytes;
  std::optional<PipeRequest> parsed;
  Request(uint16_t command, std::vector<std::vector<uint8_t>> args) {
    std::vector<PipeArg> a;
    for (auto& x : args) a.push_back({static_cast<uint32_t>(x.size()), x.data()});
    bytes = vantrel::pipe::PackRequest(command, a);
    parsed = PipeRequest::Parse(bytes, kEventCommandSlots);
  }
};

std::vector<uint8_t> U32(uint32_t v) { return vantrel::pipe::U32Bytes(v); }

}  // namespace

TEST(EventRelay, BrightnessLevels) {
  EXPECT_EQ(brightness_level(Lighting("VantrelEC keyboard", 75)), 4);
  EXPECT_EQ(brightness_level(Lighting("VantrelEC", 100)), 5);
  EXPECT_EQ(brightness_level(Lighting("xxVantrelEC", 25)), 2);
  EXPECT_EQ(brightness_level(Lighting("other", 75)), 1);
  EXPECT_EQ(brightness_level(Lighting("other", 37)), 4);
  EXPECT_EQ(brightness_level(Lighting("other", 12)), 2);
  EXPECT_EQ(brightness_level(Lighting("vantrelec", 100)), 1);  // case-sensitive
  EXPECT_EQ(brightness_level(Lighting("VantrelEC", 37)), 1);
  // The name may sit at the very end of the 50-byte record.
  std::string tail(41, 'x');
  tail += "VantrelEC";
  EXPECT_EQ(brightness_level(Lighting(tail.c_str(), 50)), 3);
}

TEST(EventRelay, NotificationArguments) {
  Request turbo(1, {U32(1), U32(0), U32(1)});
  EXPECT_EQ(BuildEventNotification(1, *turbo.parsed).toStyledString(),
            "{\n\t\"Function\" : \"PRESS_TURBO_BUTTON\",\n\t\"Parameter\" : \n\t{\n\t\t\"Mode\" : 1,\n"
            "\t\t\"operating_mode_enable\" : 0,\n\t\t\"turbo_button_status\" : 1\n\t}\n}\n");
  Request one(1, {U32(7)});
  Json::Value n = BuildEventNotification(1, *one.parsed);
  EXPECT_EQ(n["Parameter"]["Mode"].asUInt(), 7u);
  EXPECT_EQ(n["Parameter"]["turbo_button_status"].asUInt(), 0u);
  Request wide(3, {std::vector<uint8_t>(8, 0xFF)});
  EXPECT_EQ(BuildEventNotification(3, *wide.parsed)["Parameter"]["status"].asUInt(), 0u);
  Request shorter(6, {{0x34, 0x12}});
  n = BuildEventNotification(6, *shorter.parsed);
  EXPECT_EQ(n["Function"].asString(), "DISPLAY_PORT_WITHOUT_FUNCTION_EVENT");
  EXPECT_EQ(n["Parameter"]["status"].asUInt(), 0x1234u);
  Request big(4, {U32(0xFFFFFFFF)});
  EXPECT_EQ(BuildEventNotification(4, *big.parsed)["Parameter"]["status"].type(), Json::uintValue);
}

TEST(EventRelay, EveryClientGetsTheNotificationAndTheReporterItsReply) {
  ConnectedDevices devices;
  auto a = std::make_shared<FakeSocket>(5);
  auto b = std::make_shared<FakeSocket>(9);
  devices.Insert(9, b);
  devices.Insert(5, a);
  devices.Insert(7, nullptr);  // an entry without a socket is skipped
  int lighting_calls = 0;
  auto table = EventCommandTable(devices, [&](LightingStatus& s) {
    ++lighting_calls;
    s = Lighting("VantrelEC", 75);
    return true;
  });
  ASSERT_EQ(table.size(), 7u);

  Request turbo(1, {U32(1), U32(0), U32(1)});
  auto reply = table[1](*turbo.parsed);
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, (std::vector<uint8_t>{1, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_EQ(a->writes.size(), 1u);
  ASSERT_EQ(b->writes.size(), 1u);
  EXPECT_EQ(a->writes[0], b->writes[0]);
  EXPECT_EQ(a->writes[0].rfind("{\n\t\"Function\" : \"PRESS_TURBO_BUTTON\"", 0), 0u);
  EXPECT_EQ(lighting_calls, 0);

  Request hotkey(2, {U32(3)});
  table[2](*hotkey.parsed);
  EXPECT_EQ(lighting_calls, 2);  // once per client
  Json::Value sent;
  ASSERT_TRUE(Json::Reader().parse(a->writes[1], sent));
  EXPECT_EQ(sent["Parameter"]["brightness"].asInt(), 4);
  EXPECT_EQ(sent["Parameter"]["pressed_hotkey"].asUInt(), 3u);

  // Lighting service absent or hung: the notifications go without
  // "brightness", and after one failure the event asks no more.
  int failed_calls = 0;
  auto no_lighting = EventCommandTable(devices, [&](LightingStatus&) {
    ++failed_calls;
    return false;
  });
  no_lighting[2](*hotkey.parsed);
  EXPECT_EQ(failed_calls, 1);
  for (auto* client : {a.get(), b.get()}) {
    ASSERT_EQ(client->writes.size(), 3u);
    ASSERT_TRUE(Json::Reader().parse(client->writes[2], sent));
    EXPECT_FALSE(sent["Parameter"].isMember("brightness"));
  }
  no_lighting[2](*hotkey.parsed);
  EXPECT_EQ(failed_calls, 2);  // the next event asks again

  // No client: nothing written, the reply still comes.
  ConnectedDevices none;
  auto lonely = EventCommandTable(none, nullptr);
  EXPECT_EQ(lonely[5](*Request(5, {U32(1)}).parsed)->size(), 13u);
}
