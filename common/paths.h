// Where the programs keep things. Windows: the usual system folders.
// Linux: $VANTREL_RUNTIME_DIR / $VANTREL_STATE_DIR / $PROGRAMDATA / $VANTREL_SYSROOT,
// with the defaults of the architecture notes.
#pragma once
#include <string>

namespace vantrel::paths {

// Linux: runtime dir (pipes, locks). Windows: unused (empty).
std::string RuntimeDir();
// Linux: state dir (registry.db). Windows: unused (empty).
std::string StateDir();
// %PROGRAMDATA% on Windows; on Linux $PROGRAMDATA, else the state dir.
std::wstring ProgramData();
// Root of /proc and /sys readers; "/" unless VANTREL_SYSROOT is set. No trailing slash
// except for "/" itself.
std::string SysRoot();
// SysRoot() joined with an absolute path such as "/proc/stat".
std::string SysPath(const std::string& absolute);
// Directory holding the running executable.
std::wstring ExecutableDir();
// Maps "C:\ProgramData\oem\..." to <ProgramData>/oem/... on Linux; unchanged on Windows.
std::wstring MapWindowsPath(const std::wstring& path);
// Creates every missing folder of `dir` (both targets); true when it exists afterwards.
bool MakeDirs(const std::wstring& dir);

}  // namespace vantrel::paths
