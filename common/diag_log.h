// The diagnostic log shared by the three programs: one line per event,
// "tag time | module | function | message\r\n", appended with one
// open/write/close per line under a process-wide lock.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace vantrel {

enum LogLevel : uint32_t { kLogInfo = 0, kLogWarning = 1, kLogError = 2, kLogException = 3 };

class DiagnosticLog {
 public:
  DiagnosticLog(std::wstring path, std::wstring module_name);
  // Appends one line; true when the file could be opened.
  bool Write(uint32_t level, const std::wstring& function, const std::wstring& message);
  const std::wstring& path() const { return path_; }
  const std::wstring& module_name() const { return module_name_; }

 private:
  std::wstring path_;
  std::wstring module_name_;
  std::mutex lock_;
};

// Null when logging is off (the switch value under ...\Log is missing).
std::unique_ptr<DiagnosticLog> OpenDiagnosticLog(const std::wstring& switch_value_name,
                                                 const std::wstring& module_name);

// The process-wide log: set once at start-up (null when logging is off).
DiagnosticLog* ProcessLog();
void SetProcessLog(DiagnosticLog* log);

// Writes to the process log when there is one. On Linux the line also goes
// to the journal with its priority: every level while the log is switched on,
// warnings and worse always, so a daemon's trouble is seen without the switch.
void Log(uint32_t level, const std::wstring& function, const std::wstring& message);

// The journal's (syslog) priority of a level; unknown levels count as debug.
int JournalPriority(uint32_t level);
bool JournalWants(uint32_t level, bool log_switched_on);
inline void LogInfo(const std::wstring& function, const std::wstring& message) {
  Log(kLogInfo, function, message);
}

// The account name for the file name: GetUserNameW / the effective uid's user name.
std::wstring CurrentUserName();

}  // namespace vantrel
