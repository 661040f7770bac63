// Processes: start a program, find running programs by executable name, end them.
// Windows: CreateProcessW / Toolhelp / TerminateProcess. Linux: fork+exec,
// /proc/<pid>/exe basenames (comm is cut at 15 characters), kill.
#pragma once
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::proc {

class Process {
 public:
  // Starts `exe` with `args` (not including argv[0]). `env` entries are added to
  // (or override) the current environment. Null on failure (`*error` gets the code).
  static std::unique_ptr<Process> Start(const std::wstring& exe, const std::vector<std::wstring>& args,
                                        const std::map<std::wstring, std::wstring>& env = {},
                                        uint32_t* error = nullptr);
  ~Process();  // closes the handle; does not end the process
  uint32_t pid() const { return pid_; }
  bool Running();
  // Exit code once ended within `timeout`, else nullopt.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  // Blocks until the process ends and returns its exit code. For watchers of
  // a child's whole life, never for a wait on an answer.
  int WaitForExit();
  // Once ended: whether a signal ended it (Linux; always false on Windows).
  bool EndedBySignal();
  // Ends the process (Windows: TerminateProcess with `exit_code`; Linux: SIGKILL).
  void Kill(int exit_code = 9);
  // Asks the process to end (Windows: WM_CLOSE to its windows; Linux: SIGTERM).
  void RequestStop();

 private:
  Process() = default;
  uint32_t pid_ = 0;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Process ids whose executable's file name equals `exe_name` (case-insensitive on Windows).
std::vector<uint32_t> FindProcessesByName(const std::wstring& exe_name);
// Ends one process by id; true when it was ended.
bool TerminateProcessById(uint32_t pid, uint32_t exit_code);
uint32_t CurrentProcessId();

// Called first thing by every program: a closed stdout or stderr must not end
// or harm it. Linux: SIGPIPE is ignored, so a write to a pipe nobody reads
// fails (the stream goes bad and later writes cost nothing), and a standard
// descriptor that is not open is pointed at /dev/null, so that no socket or
// file opened later takes its number and receives debug lines. Windows: a
// failed console write already ends nothing; nothing to do.
void ProtectStandardStreams();

}  // namespace vantrel::proc
