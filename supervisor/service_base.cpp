#include "supervisor/service_base.h"

#include <atomic>

#include "common/text.h"

namespace vantrel::supervisor {
namespace {

// Shared by every status report of the process. Reports come from the
// service-main thread and the control thread, hence atomic.
std::atomic<uint32_t> g_check_point{1};

}  // namespace

void RaiseWin32Error(uint32_t code) { throw code; }

CServiceBase::CServiceBase(const wchar_t* service_name, std::unique_ptr<DiagnosticLog> log)
    : log_(std::move(log)), service_name_(service_name) {}

CServiceBase::~CServiceBase() = default;

ServiceStatus CServiceBase::status() const {
  std::lock_guard<std::mutex> guard(status_lock_);
  return status_;
}

void CServiceBase::ResetCheckPointForTesting() { g_check_point = 1; }

void CServiceBase::Log(const wchar_t* function, const std::wstring& message) const {
  if (log_) log_->Write(kLogInfo, function, message);
}

uint32_t CServiceBase::HandleControl(uint32_t control, uint32_t event_type, void* event_data) {
  switch (control) {
    case kControlStop:
      Stop();
      break;
    case kControlPause:
      Pause();
      break;
    case kControlContinue:
      Continue();
      break;
    case kControlShutdown:
      Shutdown();
      break;
    case kControlPowerEvent:
      PowerEvent(event_type, event_data);
      break;
    case kControlSessionChange:
      SessionChange(event_type, event_data);
      break;
    default:  // interrogate and anything unknown
      break;
  }
  return 0;
}

void CServiceBase::ReportStatus(uint32_t state, uint32_t exit_code) {
  ServiceStatus copy;
  {
    std::lock_guard<std::mutex> guard(status_lock_);
    status_.current_state = state;
    status_.win32_exit_code = exit_code;
    status_.wait_hint = 0;
    status_.check_point = (state == kServiceRunning || state == kServiceStopped) ? 0 : g_check_point++;
    copy = status_;
  }
  if (host_) host_->SetStatus(copy);
}

void CServiceBase::LogEventEntry(const std::wstring& message, uint16_t type) {
  if (host_) host_->WriteEvent(type, service_name_, message);
}

void CServiceBase::LogErrorEntry(const std::wstring& function, uint32_t error) {
  std::wstring message = text::Format(L"%ls failed w/err 0x%08lx", function.c_str(), static_cast<unsigned long>(error));
  // The record is built in 260 characters, terminator included.
  if (message.size() > 259) message.resize(259);
  LogEventEntry(message, kEventError);
}

void CServiceBase::Start(const std::vector<std::wstring>& args) {
  try {
    ReportStatus(kServiceStartPending);
    OnStart(args);
    ReportStatus(kServiceRunning);
  } catch (uint32_t e) {
    LogErrorEntry(L"Service Start", e);
    ReportStatus(kServiceStopped, e);
  } catch (...) {
    LogEventEntry(L"Service failed to start.", kEventError);
    ReportStatus(kServiceStopped);
  }
}

void CServiceBase::Stop() {
  const uint32_t original = status().current_state;
  try {
    ReportStatus(kServiceStopPending);
    OnStop();
    ReportStatus(kServiceStopped);
  } catch (uint32_t e) {
    LogErrorEntry(L"Service Stop", e);
    ReportStatus(original);
  } catch (...) {
    LogEventEntry(L"Service failed to stop.", kEventError);
    ReportStatus(original);
  }
}

void CServiceBase::Pause() {
  try {
    ReportStatus(kServicePausePending);
    OnPause();
    ReportStatus(kServicePaused);
  } catch (uint32_t e) {
    LogErrorEntry(L"Service Pause", e);
    ReportStatus(kServiceRunning);
  } catch (...) {
    LogEventEntry(L"Service failed to pause.", kEventError);
    ReportStatus(kServiceRunning);
  }
}

void CServiceBase::Continue() {
  try {
    ReportStatus(kServiceContinuePending);
    OnContinue();
    ReportStatus(kServiceRunning);
  } catch (uint32_t e) {
    LogErrorEntry(L"Service Continue", e);
    ReportStatus(kServicePaused);
  } catch (...) {
    LogEventEntry(L"Service failed to resume.", kEventError);
    ReportStatus(kServicePaused);
  }
}

void CServiceBase::Shutdown() {
  try {
    OnShutdown();
    ReportStatus(kServiceStopped);
  } catch (uint32_t e) {
    LogErrorEntry(L"Service Shutdown", e);
  } catch (...) {
    LogEventEntry(L"Service failed to shut down.", kEventError);
  }
}

void CServiceBase::PowerEvent(uint32_t event_type, void* event_data) {
  try {
    OnPowerEvent(event_type, event_data);
  } catch (uint32_t e) {
    LogErrorEntry(L"Service PowerEvent", e);
  } catch (...) {
    LogEventEntry(L"Service failed PowerEvent.", kEventError);
  }
}

void CServiceBase::SessionChange(uint32_t event_type, void* event_data) {
  try {
    OnSessionChange(event_type, event_data);
  } catch (uint32_t e) {
    LogErrorEntry(L"Service SessionChange", e);
  } catch (...) {
    LogEventEntry(L"Service failed SessionChange.", kEventError);
  }
}

}  // namespace vantrel::supervisor
