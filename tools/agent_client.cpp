#include "tools/agent_client.h"

#include <cryptopp/aes.h>
#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/modes.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <sstream>

#include "common/names.h"

namespace vantrel::ctl {
namespace {

bool ParseObject(const std::string& text, Json::Value* value) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  return reader->parse(text.data(), text.data() + text.size(), value, &errors) && value->isObject();
}

bool IsBase64Char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
         c == '=';
}

const std::string& KeyOrDefault(const std::string& key) {
  static const std::string kDefault = kAgentDefaultKey;
  return key.empty() ? kDefault : key;
}

}  // namespace

std::vector<uint8_t> BuildAgentRequest(uint32_t command, const std::string& json) {
  const std::string block = agentwire::Request(command, json);
  return std::vector<uint8_t>(block.begin(), block.end());
}

std::string EncipherRequest(const std::vector<uint8_t>& plain, const std::string& key) {
  std::string out;
  try {
    CryptoPP::ECB_Mode<CryptoPP::AES>::Encryption e;
    e.SetKey(reinterpret_cast<const uint8_t*>(key.data()), key.size());
    CryptoPP::StringSource(plain.data(), plain.size(), true,
                           new CryptoPP::StreamTransformationFilter(e, new CryptoPP::StringSink(out)));
  } catch (const std::exception&) {
    return {};
  }
  return out;
}

std::optional<std::string> DecipherReply(const std::string& base64, const std::string& key) {
  std::string out;
  try {
    CryptoPP::ECB_Mode<CryptoPP::AES>::Decryption d;
    d.SetKey(reinterpret_cast<const uint8_t*>(key.data()), key.size());
    CryptoPP::StringSource(base64, true,
                           new CryptoPP::Base64Decoder(
                               new CryptoPP::StreamTransformationFilter(d, new CryptoPP::StringSink(out))));
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return out;
}

bool AgentFrame::IsEvent() const {
  return value.isObject() && value.isMember("Function") && value.isMember("Parameter") &&
         !value.isMember("result");
}

std::optional<AgentFrame> AgentFrameReader::Next() {
  // Anything before a frame's first character (stray line ends) is skipped.
  size_t skip = 0;
  while (skip < buffer_.size() && buffer_[skip] != '{' && !IsBase64Char(buffer_[skip])) ++skip;
  buffer_.erase(0, skip);
  if (buffer_.empty()) return std::nullopt;
  return buffer_[0] == '{' ? NextPlain() : NextEnciphered();
}

std::optional<AgentFrame> AgentFrameReader::NextPlain() {
  // The styled writer indents everything inside the object, so the only line
  // that is exactly "}" closes the top-level object.
  size_t end;
  if (buffer_.compare(0, 3, "{}\n") == 0) {
    end = 3;
  } else {
    const size_t at = buffer_.find("\n}\n");
    if (at == std::string::npos) return std::nullopt;
    end = at + 3;
  }
  AgentFrame frame;
  frame.text = buffer_.substr(0, end);
  buffer_.erase(0, end);
  if (!ParseObject(frame.text, &frame.value)) frame.value = Json::Value();
  return frame;
}

std::optional<AgentFrame> AgentFrameReader::NextEnciphered() {
  std::string base64;
  size_t line_start = 0;
  while (line_start < buffer_.size()) {
    const size_t line_end = buffer_.find('\n', line_start);
    if (line_end == std::string::npos) return std::nullopt;
    for (size_t i = line_start; i < line_end; ++i) {
      if (!IsBase64Char(buffer_[i]) && buffer_[i] != '\r') {
        // Not Base64 after all: drop what was gathered so the stream can recover.
        buffer_.erase(0, line_end + 1);
        return std::nullopt;
      }
      if (buffer_[i] != '\r') base64.push_back(buffer_[i]);
    }
    line_start = line_end + 1;
    // Only a whole number of cipher blocks can end the reply.
    if (base64.size() % 4 != 0) continue;
    const size_t padding = base64.size() >= 2 ? (base64.end()[-1] == '=') + (base64.end()[-2] == '=') : 0;
    const size_t decoded = base64.size() / 4 * 3 - padding;
    if (decoded == 0 || decoded % 16 != 0) continue;
    std::optional<std::string> text = DecipherReply(base64, key_);
    Json::Value value;
    if (text && ParseObject(*text, &value)) {
      AgentFrame frame;
      frame.enciphered = true;
      frame.text = *text;
      frame.value = value;
      buffer_.erase(0, line_start);
      return frame;
    }
  }
  return std::nullopt;
}

AgentClient::AgentClient(AgentClientOptions options)
    : options_(std::move(options)), reader_(KeyOrDefault(options_.key)) {}

bool AgentClient::Connect(std::string* error) {
  const uint16_t port = options_.port != 0 ? options_.port : names::AgentPort();
  stream_ = TcpStream::Connect(options_.host, port, error);
  return stream_ != nullptr;
}

std::optional<AgentFrame> AgentClient::ReadFrame(int timeout_ms, std::string* error) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  std::vector<char> chunk(64 * 1024);
  for (;;) {
    if (std::optional<AgentFrame> frame = reader_.Next()) return frame;
    int wait = -1;
    if (timeout_ms >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        if (error) *error = "no answer from the agent in time";
        return std::nullopt;
      }
      wait = static_cast<int>(left);
    }
    const int n = stream_->Receive(chunk.data(), chunk.size(), wait);
    if (n == -2) continue;
    if (n <= 0) {
      if (error) *error = n == 0 ? "the agent closed the connection" : "connection error";
      return std::nullopt;
    }
    reader_.Feed(chunk.data(), static_cast<size_t>(n));
  }
}

std::optional<AgentFrame> AgentClient::Request(uint32_t command, const Json::Value& body, std::string* error) {
  if (!stream_) {
    if (error) *error = "not connected";
    return std::nullopt;
  }
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  const std::vector<uint8_t> plain = BuildAgentRequest(command, Json::writeString(writer, body));
  std::string bytes(plain.begin(), plain.end());
  if (options_.aes) {
    bytes = EncipherRequest(plain, KeyOrDefault(options_.key));
    if (bytes.empty()) {
      if (error) *error = "the key must be 16, 24 or 32 characters";
      return std::nullopt;
    }
  }
  if (!stream_->SendAll(bytes.data(), bytes.size())) {
    if (error) *error = "cannot send the request";
    return std::nullopt;
  }
  for (;;) {
    std::optional<AgentFrame> frame = ReadFrame(options_.timeout_ms, error);
    if (!frame) return std::nullopt;
    if (!frame->IsEvent()) return frame;
    events_.push_back(std::move(*frame));
  }
}

std::optional<AgentFrame> AgentClient::NextEvent(int timeout_ms, std::string* error) {
  if (!events_.empty()) {
    AgentFrame e = std::move(events_.front());
    events_.pop_front();
    return e;
  }
  if (!stream_) {
    if (error) *error = "not connected";
    return std::nullopt;
  }
  for (;;) {
    std::optional<AgentFrame> frame = ReadFrame(timeout_ms, error);
    if (!frame || frame->IsEvent()) return frame;
    // A reply nobody waits for is not a notification.
  }
}

std::string FormatEvent(const Json::Value& event) {
  std::string text = event["Function"].isString() ? event["Function"].asString() : "(unnamed)";
  const Json::Value& parameters = event["Parameter"];
  if (parameters.isObject()) {
    for (const std::string& name : parameters.getMemberNames()) {
      const Json::Value& v = parameters[name];
      text += " " + name + "=" + (v.isString() ? v.asString() : Json::writeString(Json::StreamWriterBuilder(), v));
    }
  }
  return text;
}

}  // namespace vantrel::ctl
