// The agent's event pipe: outside components report hotkey, adaptor and
// display events, and each becomes a plain JSON notification to every
// connected UI client.
#pragma once
#include <json/json.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "agent/hwclient/hardware_client.h"
#include "common/pipe_message.h"

namespace vantrel::agent {

class ConnectedDevices;

inline constexpr size_t kEventCommandSlots = 7;

// The keyboard brightness level (1 to 5) from the lighting service's status.
int32_t brightness_level(const LightingStatus& status);

// {"Function", "Parameter"} of event command 1 to 6, without "brightness".
Json::Value BuildEventNotification(uint16_t command, const pipe::PipeRequest& request);

using LightingQuery = std::function<bool(LightingStatus&)>;

// The 7-entry table: command 0 dumps its arguments, 1 to 6 notify `clients`.
std::vector<pipe::PipeCommandHandler> EventCommandTable(ConnectedDevices& clients, LightingQuery lighting);

// Thread entry started by the agent's window: serves names::Instance(kAgentPipe)
// for the life of the process.
void NamedPipeLoop();

}  // namespace vantrel::agent
