#include "agent/relay/event_relay.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>

#include "agent/server/socket_server.h"
#include "common/diag_log.h"
#include "common/names.h"
#include "common/pipe_transport.h"
#include "common/text.h"

namespace vantrel::agent {
namespace {

struct EventKind {
  const wchar_t* event_name;
  const wchar_t* handler;
  const char* function;
};

// Index = command id.
constexpr EventKind kEvents[kEventCommandSlots] = {
    {nullptr, nullptr, nullptr},
    {L"kAdmAgtTurboKeyPressed", L"recivied_Turbo_Key_Event", "PRESS_TURBO_BUTTON"},
    {L"kAgtBrightnessHotkeyPressed", L"recivied_Brightness_HotKey_Event", "PRESS_BRIGHTNESS_HOTKEY_BUTTON"},
    {L"kAgtAdaptorChagned", L"recivied_Adaptor_Changed_Event", "ADAPTOR_CHANGED"},
    {L"kAgtBatteryBoostChanged", L"recivied_Battery_Boost_Changed_Event", "BATTERY_BOOST"},
    {L"kAgtBrightness30SecEvent", L"recivied_Brightness_30sec_Event", "KEYBOARD_BACKLIGHT_30_SEC_EVENT"},
    {L"kAgtDisplayPortWithoutFunctionEvent", L"recivied_Display_port_without_Function_Event",
     "DISPLAY_PORT_WITHOUT_FUNCTION_EVENT"},
};

bool NamesVantrelEc(const LightingStatus& status) {
  static constexpr char kName[] = "VantrelEC";
  const auto& r = status.device_record;
  return std::search(r.begin(), r.end(), kName, kName + sizeof(kName) - 1) != r.end();
}

pipe::PipeReply RelayEvent(uint16_t command, const pipe::PipeRequest& request, ConnectedDevices& clients,
                           const LightingQuery& lighting) {
  const EventKind& kind = kEvents[command];
  const std::wstring function = std::wstring(L"velmont::VmClientCommandProcessor::") + kind.handler;
  LogInfo(function, kind.event_name);

  std::vector<ConnectedDevices::Entry> entries = clients.Snapshot();
  LogInfo(function, text::Format(L"Connected device : %d", static_cast<int>(entries.size())));
  // Once the lighting service has failed for this event it is not asked again
  // for the remaining clients: a hung service would otherwise cost each of
  // them a full time-out in turn.
  bool lighting_failed = false;
  try {
    for (const auto& [id, socket] : entries) {
      if (!socket) continue;
      Json::Value notification = BuildEventNotification(command, request);
      if (command == 2 && lighting && !lighting_failed) {
        LightingStatus status;
        if (lighting(status)) {
          notification["Parameter"]["brightness"] = brightness_level(status);
        } else {
          lighting_failed = true;
        }
      }
      const std::string text = notification.toStyledString();
      SendToClient(clients, socket, text);
      LogInfo(function, text::Format(L"Send to device : %d", static_cast<int>(id)));
    }
  } catch (const std::exception&) {
    // The remaining clients miss this event; the reporter still gets its reply.
  }
  static constexpr uint8_t kZero[8] = {};
  return pipe::build_pipe_reply({pipe::PipeArg{8, kZero}});
}

}  // namespace

int32_t brightness_level(const LightingStatus& status) {
  static constexpr uint32_t kWithEc[] = {100, 75, 50, 25};
  static constexpr uint32_t kWithout[] = {50, 37, 25, 12};
  const uint32_t* table = NamesVantrelEc(status) ? kWithEc : kWithout;
  for (int i = 0; i < 4; ++i)
    if (status.brightness == table[i]) return 5 - i;
  return 1;
}

Json::Value BuildEventNotification(uint16_t command, const pipe::PipeRequest& request) {
  Json::Value n(Json::objectValue);
  n["Function"] = kEvents[command].function;
  Json::Value p(Json::objectValue);
  if (command == 1) {
    p["Mode"] = Json::UInt(request.U32Arg(0));
    p["operating_mode_enable"] = Json::UInt(request.U32Arg(1));
    p["turbo_button_status"] = Json::UInt(request.U32Arg(2));
  } else if (command == 2) {
    p["pressed_hotkey"] = Json::UInt(request.U32Arg(0));
  } else {
    p["status"] = Json::UInt(request.U32Arg(0));
  }
  n["Parameter"] = p;
  return n;
}

std::vector<pipe::PipeCommandHandler> EventCommandTable(ConnectedDevices& clients, LightingQuery lighting) {
  std::vector<pipe::PipeCommandHandler> table;
  table.push_back(&pipe::dump_arguments);
  for (uint16_t command = 1; command < kEventCommandSlots; ++command) {
    table.push_back([command, &clients, lighting](const pipe::PipeRequest& request) {
      return RelayEvent(command, request, clients, lighting);
    });
  }
  return table;
}

void NamedPipeLoop() {
  std::wstring name = names::Instance(names::kAgentPipe);
  try {
    pipe::run_pipe_server(name, EventCommandTable(connected_devices(), &QueryLightingService));
  } catch (const std::exception& e) {
    // Without its event pipe the agent still serves its TCP clients.
    Log(kLogError, L"NamedPipeLoop", text::FromUtf8(e.what()));
  }
}

}  // namespace vantrel::agent
