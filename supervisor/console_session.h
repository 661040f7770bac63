// The console session on Linux: the active graphical logind session on seat0
// stands for the Windows console session.
#pragma once
#include <cstdint>
#include <map>
#include <string>

namespace vantrel::supervisor {

// The variables that put a program into the graphical session active on
// seat0 (session id, seat, runtime folder, bus, display, and what a desktop
// process of that session adds); empty when no graphical session is active.
std::map<std::wstring, std::wstring> GraphicalSessionEnvironment();

// The logind session a process belongs to, or the one it was started into
// (its XDG_SESSION_ID); empty when neither is known.
std::string ProcessSession(uint32_t pid);

}  // namespace vantrel::supervisor
