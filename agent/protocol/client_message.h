// One client request of the monitor agent: the "VNTL" header, the command
// number and the JSON body, parsed, dispatched and answered with a styled
// JSON object. Also the agent's readers of the hardware service.
#pragma once
#include <json/json.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "agent/protocol/cipher.h"
#include "common/agent_wire.h"

namespace vantrel::agent {

using agentwire::kCommandGetMonitorData;
using agentwire::kCommandInitialization;
using agentwire::kHeaderSize;
using agentwire::kMagic;

class TXSocket;

// The monitor data report (GET_MONITOR_DATA) lives with the agent program.
// It fills request.response; the dispatch then makes the response the reply. Until a handler is
// installed the request is answered as a failed collection ("result" "1").
using MonitorDataHandler = void (*)(TXSocket& request);
void SetMonitorDataHandler(MonitorDataHandler handler);

// The capability word is the firmware's and does not change while the machine
// runs: once read it is answered from memory, so the query never waits for the
// hardware service again. Failures are not kept. Tests forget it between cases.
uint64_t CapabilityOutput();
void ForgetCapabilityForTesting();

class TXSocket {
 public:
  // `source` is the (deciphered) message of `length` bytes, at least kHeaderSize.
  // The record views its body there: the message outlives Process_socket.
  TXSocket(const uint8_t* source, uint32_t length);
  // Null for a message too short to hold the header.
  static std::optional<TXSocket> FromMessage(const uint8_t* source, uint32_t length);

  // Parse, magic check and dispatch; afterwards `reply` holds the answer.
  void Process_socket();
  void Initialization();
  void GetMonitorData();

  // Hardware readers. Each runs one pipe transaction of its own, so the
  // report can run them in parallel; none lets an error escape.
  static bool Get_CPU_Temprature(int32_t& value);
  static bool Get_System_Temprature(int32_t& value);
  static bool Get_CPU_FanSpeed(int32_t& value);
  static bool Get_SYS1_FanSpeed(int32_t& value);
  static bool Get_SYS2_FanSpeed(int32_t& value);
  static bool Get_GPU_FanSpeed(int32_t& value, int32_t index);
  static bool Get_GPU_Temprature(int32_t& value, int32_t index);
  // The hardware service's value; -1 when the transaction failed, 0 on an error.
  static int32_t Get_GPU_Idle_State();
  // A failed transaction stores -1 and still returns true; false only on an error.
  static bool Get_GPU_Usage(int32_t& value, int32_t index);
  static bool Get_GPU_Frequency(int32_t& value, int32_t index);
  static bool Get_GPU_Max_Frequency(int32_t& value, int32_t index);

  char magic[4] = {};
  int32_t command_id = 0;
  std::string_view body;  // bytes 8.. of the message, read up to the first NUL
  Json::Value response;
  Json::Value reply;

 private:
  void Dispatch(Json::Value& root);
};

// The agent's own file version, "major.minor.build.revision".
std::string GetFileVersionString();

// jsoncpp's styled text of the reply (tab indentation, sorted keys, final line feed).
std::string SerializeReply(const Json::Value& reply);

// The whole path of one queued block: decipher when the cipher is on, build
// the record, process it, serialise, and encipher when the request was
// enciphered. Blocks longer than kMessageBufferSize are cut to it. Returns the
// bytes to write, or nullopt when nothing is to be written: a message shorter
// than the header (no request to answer) or a reply that could not be enciphered.
std::optional<std::string> ProcessClientBlock(const uint8_t* data, uint32_t length);

}  // namespace vantrel::agent
