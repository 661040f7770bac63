// The Windows state behind a Process, shared by the files that start
// processes and those that wait for them.
#pragma once
#include <windows.h>

#include "common/process.h"

namespace vantrel::proc {

struct Process::Impl {
  HANDLE process = nullptr;
};

}  // namespace vantrel::proc
