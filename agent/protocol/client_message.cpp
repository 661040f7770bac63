#include "agent/protocol/client_message.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "agent/hwclient/hardware_client.h"
#include "common/diag_log.h"

namespace vantrel::agent {
namespace {

constexpr wchar_t kProcessFunction[] = L"TXSocket::Process_socket";

std::atomic<MonitorDataHandler> g_monitor_data_handler{nullptr};

void Note(const wchar_t* message) { LogInfo(kProcessFunction, message); }

// Json::Reader in its default (permissive) mode is the parser the protocol is
// defined by: comments allowed and any value accepted as the root.
// The body ends at its first NUL.
bool ParseBody(std::string_view body, Json::Value& root) {
  const char* end = std::find(body.data(), body.data() + body.size(), '\0');
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  Json::Reader reader;
  return reader.parse(body.data(), end, root);
#pragma GCC diagnostic pop
}

}  // namespace

void SetMonitorDataHandler(MonitorDataHandler handler) { g_monitor_data_handler.store(handler); }

namespace {
std::atomic<uint64_t> g_capability{kSysInfoFailure};
}  // namespace

uint64_t CapabilityOutput() {
  uint64_t output = g_capability.load();
  if ((output & 0xFF) == 0) return output;
  output = QueryGamingSysInfo(kSysInfoCapability);
  if ((output & 0xFF) == 0) g_capability.store(output);
  return output;
}

void ForgetCapabilityForTesting() { g_capability.store(kSysInfoFailure); }

TXSocket::TXSocket(const uint8_t* source, uint32_t length) {
  std::memcpy(magic, source, sizeof(magic));
  command_id = static_cast<int32_t>(static_cast<uint32_t>(source[4]) | static_cast<uint32_t>(source[5]) << 8 |
                                    static_cast<uint32_t>(source[6]) << 16 | static_cast<uint32_t>(source[7]) << 24);
  body = std::string_view(reinterpret_cast<const char*>(source) + kHeaderSize, length - kHeaderSize);
}

std::optional<TXSocket> TXSocket::FromMessage(const uint8_t* source, uint32_t length) {
  if (source == nullptr || length < kHeaderSize) return std::nullopt;
  return TXSocket(source, std::min(length, kMessageBufferSize));
}

void TXSocket::Process_socket() {
  try {
    Json::Value root;
    bool parsed = false;
    try {
      parsed = ParseBody(body, root);
    } catch (...) {
      response["result"] = "3";
      reply = response;
      Note(L"Process Json Failed.");
      return;
    }
    if (!parsed) {
      response["result"] = "3";
      reply = response;
      Note(L"Parse Json Failed.");
      return;
    }
    try {
      if (std::memcmp(magic, kMagic, sizeof(kMagic)) != 0) {
        response["result"] = "3";
        reply = response;
        Note(L"Parse Magic value Failed.");
        return;
      }
    } catch (...) {
      response["result"] = "3";
      reply = response;
      Note(L"Process Magic value Failed.");
    }
    try {
      Dispatch(root);
    } catch (...) {
      // Members set before the error stay in the reply.
      response["result"] = "3";
      reply = response;
      Note(L"Parse command_id Failed.");
    }
  } catch (...) {
    try {
      response["result"] = "3";
      reply = response;
    } catch (...) {
    }
    Note(L"Process Json Failed.");
  }
}

void TXSocket::Dispatch(Json::Value& root) {
  switch (command_id) {
    case kCommandInitialization:
      // On a null root this makes it an empty object and yields null.
      response["request"] = root["Function"];
      Note(L"command_id : INITIALIZATION");
      Initialization();
      break;
    case kCommandGetMonitorData:
      response["request"] = "GET_MONITOR_DATA";
      Note(L"command_id : GET_MONITOR_DATA");
      GetMonitorData();
      break;
    default:
      response["result"] = "3";
      reply = response;
      Note(L"Parse command_id Failed.");
      return;
  }
  // The response is finished: it becomes the reply without a copy of the tree.
  reply = std::move(response);
}

void TXSocket::Initialization() {
  // asString: null gives "", numbers and booleans their JSON spelling; arrays
  // and objects throw, which the command step answers with "3".
  const std::string name = response["request"].asString();
  if (name == "VERSION") {
    response["data"] = GetFileVersionString();
    response["result"] = "0";
  } else if (name == "SUPPORT_SYSTEM_CAPABILITY") {
    const uint64_t output = CapabilityOutput();
    // A failed query is answered without "data" and without "result".
    if ((output & 0xFF) == 0) {
      response["data"] = static_cast<Json::UInt>((output >> 24) & 0xFFFF);
      response["result"] = "0";
    }
  } else {
    response["result"] = "3";
  }
}

void TXSocket::GetMonitorData() {
  MonitorDataHandler handler = g_monitor_data_handler.load();
  if (handler == nullptr) {
    response["result"] = "1";
    reply = response;
    return;
  }
  handler(*this);
}

std::string SerializeReply(const Json::Value& reply) { return reply.toStyledString(); }

std::optional<std::string> ProcessClientBlock(const uint8_t* data, uint32_t length) {
  if (data == nullptr) return std::nullopt;
  length = std::min(length, kMessageBufferSize);

  // Nothing is allocated for the plaintext unless the cipher is on.
  const std::optional<std::string> plain = DecipherBlock(data, length);
  const uint8_t* source = plain ? reinterpret_cast<const uint8_t*>(plain->data()) : data;
  const uint32_t source_length = plain ? static_cast<uint32_t>(plain->size()) : length;

  // Without a whole header there is no request to answer.
  std::optional<TXSocket> request = TXSocket::FromMessage(source, source_length);
  if (!request) return std::nullopt;
  request->Process_socket();
  std::string text = SerializeReply(request->reply);
  if (!plain) return text;
  return EncipherText(text);
}

}  // namespace vantrel::agent
