// The agent's file version. Windows reads it from the program's own version
// resource (made from the project version); Linux has the same numbers compiled in.
#pragma once
#include <cstdint>
#include <string>

namespace vantrel::agent {

// "%hu.%hu.%hu.%hu" of the four 16-bit parts of a file version given as its
// most and least significant 32-bit halves (1.0.0.1003 from 0x00010000, 0x000003EB).
std::string FormatFileVersion(uint32_t version_ms, uint32_t version_ls);

// Windows only: the version text of `module`'s RT_VERSION resource 1 (an
// HMODULE; a module loaded as a data file works too). Empty when the resource
// is missing, empty or cannot be locked; "(unknown)" without fixed file info.
std::string FileVersionStringOfModule(void* module);

}  // namespace vantrel::agent
