// Processes: start a program (tracked or detached, as another account or in
// the console session), list running programs, end them.
// Windows: CreateProcessW / CreateProcessAsUserW, Toolhelp, TerminateProcess.
// Linux: fork+exec, /proc/<pid>/exe basenames, kill.
#pragma once
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::proc {

// An account a Linux program is started as: its uid, its primary gid, and the
// supplementary groups of `name`, dropped in that order (groups, gid, uid).
struct RunAsUser {
  uint32_t uid = 0;
  uint32_t gid = 0;
  std::string name;
};

// Windows: which token a program started in the active console session gets.
// Both get the console user's environment block and the "winsta0\default"
// desktop, and no window of their own.
enum class ConsoleToken {
  kNone,      // not in the console session: the caller's own context
  kUser,      // the console user's token
  kWinlogon,  // the token of that session's winlogon.exe (SYSTEM there)
};

struct LaunchOptions {
  // Added to (or overriding) the base environment: the caller's, or on
  // Windows the console user's block when `console` is set.
  std::map<std::wstring, std::wstring> env;
  // Not the caller's child: nobody waits for it or reaps it (Linux: double
  // fork, in a session of its own). See Process for what such an object can do.
  bool detached = false;
  // Linux: run as this account instead of the caller's.
  std::optional<RunAsUser> user;
  // Windows: start in the active console session with this token.
  ConsoleToken console = ConsoleToken::kNone;
  // Linux: descriptors above stderr stay open in the child. Windows:
  // inheritable handles are inherited. Off by default: a child gets nothing
  // of ours by accident.
  bool inherit_handles = false;
  // Windows: the command line exactly as given, instead of one quoted from
  // the program and its arguments. With an empty program path, the program is
  // the command line's first word; an empty command line passes none at all.
  std::optional<std::wstring> command_line;
};

class Process {
 public:
  // Starts `exe` with `args` (not including argv[0]). Null on failure
  // (`*error` gets the code: errno on Linux, the Win32 error on Windows).
  // Linux: the child starts with an empty signal mask and default signal
  // dispositions, whatever the calling thread blocked or ignored.
  static std::unique_ptr<Process> Launch(const std::wstring& exe, const std::vector<std::wstring>& args,
                                         const LaunchOptions& options, uint32_t* error = nullptr);
  // Launch with `env` laid over the current environment and nothing else.
  static std::unique_ptr<Process> Start(const std::wstring& exe, const std::vector<std::wstring>& args,
                                        const std::map<std::wstring, std::wstring>& env = {},
                                        uint32_t* error = nullptr);
  ~Process();  // closes the handle; does not end the process
  uint32_t pid() const { return pid_; }
  // A detached process on Linux is not ours to wait for: Running() and Wait()
  // only tell whether a process with its id still exists (exit code -1), and
  // Kill() and RequestStop() do nothing, since the id may belong to another
  // program by then. On Windows the handle makes it an ordinary process.
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

// What a program printed on standard output, run to its end.
struct CapturedRun {
  bool ran = false;    // started and ended within the time limit
  int exit_code = -1;  // -1 unless it exited by itself
  std::string output;
};
// Runs a program with its standard output collected; past `timeout` it is
// killed and counts as not run, so no hung tool holds the caller for good.
CapturedRun RunCapturingOutput(const std::wstring& exe, const std::vector<std::wstring>& args,
                               const LaunchOptions& options, std::chrono::milliseconds timeout);

struct ProcessEntry {
  uint32_t pid = 0;
  std::wstring exe_name;    // the executable's file name
  bool has_session = false;  // Windows: whether its session could be read
  uint32_t session_id = 0;   // that session, else 0
};
// The processes running now. Linux: those whose executable can be read (all
// as root), named by /proc/<pid>/exe, since comm is cut at 15 characters.
std::vector<ProcessEntry> SnapshotProcesses();

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
