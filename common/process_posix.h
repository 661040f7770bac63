// The Linux state behind a Process, shared by the files that start processes
// and those that wait for them.
#pragma once
#include <mutex>

#include "common/process.h"

namespace vantrel::proc {

struct Process::Impl {
  std::mutex lock;
  bool reaped = false;
  int exit_code = 0;
  bool signaled = false;
  // Not our child (double fork): never waited for, never signalled.
  bool detached = false;
};

}  // namespace vantrel::proc
