// The hardware service's process frame, shared by the two entry halves
// (main_win.cpp: wWinMain; main_posix.cpp: main).
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/host_window.h"

namespace vantrel::hw {

// Resource ids of the program.
inline constexpr uint16_t kIdsTitle = 103;        // "VantrelHardwareService"
inline constexpr uint16_t kIdsWindowClass = 109;  // "VANTRELHARDWARESERVICE"
inline constexpr uint16_t kIdiIcon = 460;
inline constexpr uint16_t kIdcMenu = 109;         // menu and accelerator table
inline constexpr uint16_t kIddAbout = 103;
inline constexpr uint16_t kIdmAbout = 104;
inline constexpr uint16_t kIdmExit = 105;

inline constexpr wchar_t kMutexName[] = L"VantrelSysHardwareService-{3E9B07A5-C2D4-4B61-8F3A-5D17E6A90C28}";
inline constexpr wchar_t kDefaultTitle[] = L"VantrelHardwareService";
inline constexpr wchar_t kDefaultWindowClass[] = L"VANTRELHARDWARESERVICE";
inline constexpr wchar_t kModuleName[] = L"VantrelSysHardwareService";

inline constexpr char kProgramName[] = "VantrelSysHardwareService";
inline constexpr char kHelpText[] =
    "VantrelSysHardwareService: the Vantrel hardware service.\n"
    "Serves the firmware, GPU and registry commands on the pipe tavrix_hardware_service_ and starts\n"
    "the UI launchers on the launcher key. Normally started by VantrelCentralService.\n"
    "It takes no arguments; one instance runs per session. Stop it with SIGTERM (Windows: WM_CLOSE).\n"
    "  --help     print this text\n"
    "  --version  print the version\n";

using MessageHandler = std::function<std::optional<intptr_t>(HostWindow&, uint32_t, uintptr_t, intptr_t)>;

// The program: guard, log, window, loop. Returns the process exit code: 0 when
// another instance runs or the window cannot be created, 1 when the pipe
// server could not run, else the quit message's code.
int RunHardwareService(const MessageHandler& platform_messages);

// A string resource of at most 99 characters; `fallback` when missing (entry half).
std::wstring LoadResourceString(uint16_t id, const wchar_t* fallback);

}  // namespace vantrel::hw
