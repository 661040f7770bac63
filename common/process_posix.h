// Linux internals shared by the process files: the state behind a Process,
// and the start that both Launch and RunCapturingOutput use.
#pragma once
#include <sys/types.h>

#include <mutex>
#include <string>
#include <vector>

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

// argv, envp and the supplementary groups of a start, built before fork: the
// child of a threaded process may not allocate.
struct Prepared {
  std::vector<std::string> argv_storage;
  std::vector<std::string> env_storage;
  std::vector<char*> argv;
  std::vector<char*> envp;
  std::vector<gid_t> groups;
  long max_fd = 0;  // highest descriptor number + 1 to close without close_range
};
void Prepare(const std::wstring& exe, const std::vector<std::wstring>& args, const LaunchOptions& options,
             Prepared& p);

// Starts the prepared program, its standard output on `stdout_fd` when that
// is not -1; its pid, or -1 with `*error` set (an errno). A detached
// program's pid is that of the grandchild; the intermediate child is reaped
// here.
pid_t Spawn(const Prepared& p, const LaunchOptions& options, int stdout_fd, int* error);

}  // namespace vantrel::proc
