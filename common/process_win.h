// Windows internals shared by the process files: the state behind a
// Process, and the start that both Launch and RunCapturingOutput use.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "common/process.h"

namespace vantrel::proc {

struct Process::Impl {
  HANDLE process = nullptr;
};

// Starts the program (CreateProcessW, or CreateProcessAsUserW in the console
// session). `stdout_handle`, when given, must be inheritable and becomes the
// program's standard output. ERROR_SUCCESS or the Win32 error.
DWORD CreateWith(const std::wstring& exe, const std::vector<std::wstring>& args, const LaunchOptions& options,
                 HANDLE stdout_handle, PROCESS_INFORMATION* pi);

}  // namespace vantrel::proc
