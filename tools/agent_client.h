// Client of the monitor agent's TCP protocol: "VNTL" + command number + JSON
// requests, optionally enciphered (AES-ECB, raw bytes out, Base64 back), one
// request at a time, with pushed notifications arriving in between.
#pragma once
#include <json/json.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/agent_wire.h"
#include "tools/agent_socket.h"

namespace vantrel::ctl {

inline constexpr uint32_t kAgentInitialization = 0;
inline constexpr uint32_t kAgentGetMonitorData = 10;
// The agent's key when its AESkey setting is empty.
inline constexpr const char* kAgentDefaultKey = agentwire::kDefaultKey;

std::vector<uint8_t> BuildAgentRequest(uint32_t command, const std::string& json);
// Raw AES-ECB/PKCS#7 cipher bytes; empty when the key length is not 16, 24 or 32.
std::string EncipherRequest(const std::vector<uint8_t>& plain, const std::string& key);
// Base64 text -> deciphered text; nullopt when it does not decipher.
std::optional<std::string> DecipherReply(const std::string& base64, const std::string& key);

struct AgentFrame {
  bool enciphered = false;  // arrived as Base64
  std::string text;         // the JSON text (deciphered)
  Json::Value value;
  // A pushed notification ({"Function", "Parameter"}) rather than a reply.
  bool IsEvent() const;
};

// Splits a connection's byte stream into frames. Replies and notifications
// carry no length: a plain frame is one styled JSON object, which ends with a
// line holding only "}"; an enciphered reply is Base64 lines that end where
// the text deciphers to a JSON object.
class AgentFrameReader {
 public:
  explicit AgentFrameReader(std::string key = kAgentDefaultKey) : key_(std::move(key)) {}
  void Feed(const char* data, size_t length) { buffer_.append(data, length); }
  std::optional<AgentFrame> Next();
  size_t pending() const { return buffer_.size(); }

 private:
  std::optional<AgentFrame> NextPlain();
  std::optional<AgentFrame> NextEnciphered();
  std::string key_;
  std::string buffer_;
};

struct AgentClientOptions {
  std::string host = "127.0.0.1";
  uint16_t port = 0;  // 0: names::AgentPort()
  bool aes = false;
  std::string key;    // empty: the default key
  int timeout_ms = 15000;
};

class AgentClient {
 public:
  explicit AgentClient(AgentClientOptions options);
  bool Connect(std::string* error);
  // Sends one request and waits for its reply (the agent answers every
  // request it can parse; it has no way to say which request a reply is for,
  // so only one may be outstanding). Notifications that arrive meanwhile are
  // kept for NextEvent.
  std::optional<AgentFrame> Request(uint32_t command, const Json::Value& body, std::string* error);
  // The next pushed notification; nullopt on time-out (negative: no limit) or a closed connection.
  std::optional<AgentFrame> NextEvent(int timeout_ms, std::string* error);

 private:
  std::optional<AgentFrame> ReadFrame(int timeout_ms, std::string* error);
  AgentClientOptions options_;
  std::unique_ptr<TcpStream> stream_;
  AgentFrameReader reader_;
  std::deque<AgentFrame> events_;
};

// A pushed notification in one readable line.
std::string FormatEvent(const Json::Value& event);

}  // namespace vantrel::ctl
