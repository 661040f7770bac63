#include "common/diag_log.h"

#include <atomic>

#include "common/diag_log_internal.h"
#include "common/paths.h"
#include "common/registry.h"
#include "common/win32_errors.h"

namespace vantrel {
namespace {

const wchar_t* Tag(uint32_t level) {
  switch (level) {
    case kLogInfo: return L"[INFO]     ";
    case kLogWarning: return L"[WARNING]  ";
    case kLogError: return L"[ERROR]    ";
    case kLogException: return L"[EXCEPTION]";
    default: return L"";
  }
}

// The file is 8-bit text: each character becomes one byte. A character above
// 255 has no byte and ends the line there. The line end is still written after
// such a cut, so the next line does not run on into the cut one.
std::string ToLogBytes(const std::wstring& line_body) {
  std::string out;
  out.reserve(line_body.size() + 2);
  for (wchar_t c : line_body) {
    const auto u = static_cast<uint32_t>(c);
    if (u > 255) break;
    out.push_back(static_cast<char>(u));
  }
  out += "\r\n";
  return out;
}

std::atomic<DiagnosticLog*> g_process_log{nullptr};

}  // namespace

DiagnosticLog::DiagnosticLog(std::wstring path, std::wstring module_name)
    : path_(std::move(path)), module_name_(std::move(module_name)) {}

bool DiagnosticLog::Write(uint32_t level, const std::wstring& function, const std::wstring& message) {
  // Time stamp and tag are taken before the lock.
  const std::string stamp = diag_detail::LocalTimeStamp();
  std::wstring body = Tag(level);
  body += L' ';
  body.append(stamp.begin(), stamp.end());
  body += L" | " + module_name_ + L" | " + function + L" | " + message;
  const std::string bytes = ToLogBytes(body);
  std::lock_guard<std::mutex> g(lock_);
  return diag_detail::AppendToFile(path_, bytes);
}

std::unique_ptr<DiagnosticLog> OpenDiagnosticLog(const std::wstring& switch_value_name,
                                                 const std::wstring& module_name) {
  // Only the switch value's existence matters; probe it with any type and no data.
  uint32_t type = 0;
  uint32_t size = 0;
  if (reg::SystemRegistry().GetValue(reg::Root::kLocalMachine, reg::kLogKey, switch_value_name, win32::kRrfRtAny,
                                     &type, nullptr, &size) != win32::kErrorSuccess) {
    return nullptr;
  }
  // Without a program-data folder the path would point at the root of the
  // current drive; no log is better than one in an unexpected place.
  const std::wstring program_data = paths::ProgramData();
  if (program_data.empty()) return nullptr;
  const wchar_t sep = diag_detail::PathSeparator();
  std::wstring folder = L"OEM\\VantrelSysMonitorService\\Log";
  for (wchar_t& c : folder) {
    if (c == L'\\') c = sep;
  }
  std::wstring path = program_data;
  if (path.back() != sep) path += sep;
  path += folder + sep + CurrentUserName() + L"_" + module_name + L".log";
  diag_detail::MakeFolderFor(path);
  return std::make_unique<DiagnosticLog>(std::move(path), module_name);
}

DiagnosticLog* ProcessLog() { return g_process_log.load(std::memory_order_acquire); }

void SetProcessLog(DiagnosticLog* log) { g_process_log.store(log, std::memory_order_release); }

int JournalPriority(uint32_t level) {
  switch (level) {
    case kLogInfo: return 6;       // LOG_INFO
    case kLogWarning: return 4;    // LOG_WARNING
    case kLogError: return 3;      // LOG_ERR
    case kLogException: return 2;  // LOG_CRIT
    default: return 7;             // LOG_DEBUG
  }
}

bool JournalWants(uint32_t level, bool log_switched_on) {
  return log_switched_on || level == kLogWarning || level == kLogError || level == kLogException;
}

void Log(uint32_t level, const std::wstring& function, const std::wstring& message) {
  DiagnosticLog* log = ProcessLog();
  if (log) log->Write(level, function, message);
  if (JournalWants(level, log != nullptr)) diag_detail::ToJournal(JournalPriority(level), function, message);
}

}  // namespace vantrel
