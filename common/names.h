// Names of the suite's well-known endpoints. Tests that run several copies of
// the suite side by side on one machine set VANTREL_INSTANCE (appended to pipe
// and mutex names) and VANTREL_AGENT_PORT; unset, the names are the product's.
#pragma once
#include <cstdint>
#include <string>

namespace vantrel::names {

inline constexpr wchar_t kHardwarePipe[] = L"tavrix_hardware_service_";
inline constexpr wchar_t kAgentPipe[] = L"tavrix_agent_service_";
inline constexpr wchar_t kLightingPipe[] = L"VantrelLightingService_NamedPipe";
inline constexpr uint16_t kAgentPort = 46753;

// `base` + $VANTREL_INSTANCE (nothing when unset).
std::wstring Instance(const std::wstring& base);
// $VANTREL_AGENT_PORT when set and valid, else 46753.
uint16_t AgentPort();

}  // namespace vantrel::names
