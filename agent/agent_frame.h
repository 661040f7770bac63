// The monitor agent's process frame, shared by the Windows and Linux entry points.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace vantrel {
class HostWindow;
}

namespace vantrel::agent {

inline constexpr uint16_t kIdsTitle = 103;
inline constexpr uint16_t kIdcClass = 109;
inline constexpr uint16_t kIdmAbout = 104;
inline constexpr uint16_t kIdmExit = 105;
inline constexpr uint16_t kIddAbout = 103;
inline constexpr wchar_t kAgentTitle[] = L"VantrelAgentService";
inline constexpr wchar_t kAgentClass[] = L"VANTRELAGENTSERVICE";
inline constexpr wchar_t kAgentModule[] = L"VantrelSysMonitorService";
inline constexpr wchar_t kAgentMutex[] = L"VantrelSysMonitorService-{7D41E2C9-5B3A-4F18-A6E0-92C4D1B85F37}";

inline constexpr char kAgentProgram[] = "VantrelSysMonitorService";
inline constexpr char kAgentHelp[] =
    "VantrelSysMonitorService: the Vantrel monitor agent.\n"
    "Serves telemetry and hardware events to UI clients on 127.0.0.1:46753 (VANTREL_AGENT_PORT) and\n"
    "takes events on its pipe tavrix_agent_service_. Normally started by VantrelCentralService.\n"
    "It takes no arguments; one instance runs per session. Stop it with SIGTERM (Windows: WM_CLOSE).\n"
    "  --help     print this text\n"
    "  --version  print the version\n";

using WindowMessageHook = std::function<std::optional<intptr_t>(HostWindow&, uint32_t, uintptr_t, intptr_t)>;

// Single instance, log, hidden window (Linux: signal loop) whose creation
// starts InitConfig, the socket server and the event pipe; returns the exit code.
int RunAgent(const std::wstring& title, const std::wstring& class_name, WindowMessageHook on_message);

}  // namespace vantrel::agent
