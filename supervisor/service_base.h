// The service frame: turns service controls into hook calls, reports every
// state change with the check-point rule and records failures in the event
// log. The service manager itself sits behind ServiceHost (SCM on Windows,
// systemd + syslog on Linux), so the frame's rules are the same on both.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/diag_log.h"

namespace vantrel::supervisor {

// SERVICE_* states and controls, with the values the service manager uses.
enum ServiceState : uint32_t {
  kServiceStopped = 1,
  kServiceStartPending = 2,
  kServiceStopPending = 3,
  kServiceRunning = 4,
  kServiceContinuePending = 5,
  kServicePausePending = 6,
  kServicePaused = 7,
};

enum ServiceControl : uint32_t {
  kControlStop = 1,
  kControlPause = 2,
  kControlContinue = 3,
  kControlInterrogate = 4,
  kControlShutdown = 5,
  kControlPowerEvent = 13,
  kControlSessionChange = 14,
};

inline constexpr uint32_t kServiceWin32OwnProcess = 0x10;
// Stop, shutdown, power event, session change; no pause/continue.
inline constexpr uint32_t kControlsAccepted = 0xC5;

// Event-log record types.
enum EventLogType : uint16_t { kEventError = 1, kEventWarning = 2, kEventInformation = 4 };

struct ServiceStatus {
  uint32_t service_type = kServiceWin32OwnProcess;
  uint32_t current_state = kServiceStartPending;
  uint32_t controls_accepted = kControlsAccepted;
  uint32_t win32_exit_code = 0;
  uint32_t service_specific_exit_code = 0;
  uint32_t check_point = 0;
  uint32_t wait_hint = 0;
};

// The service manager as the frame sees it.
class ServiceHost {
 public:
  virtual ~ServiceHost() = default;
  virtual void SetStatus(const ServiceStatus& status) = 0;
  // One event-log record with two insertion strings: the service name, then the message.
  virtual void WriteEvent(uint16_t type, const std::wstring& service_name, const std::wstring& message) = 0;
};

// Hooks fail by raising a Win32 error code; anything else thrown is an
// unexplained failure.
[[noreturn]] void RaiseWin32Error(uint32_t code);

class CServiceBase {
 public:
  CServiceBase(const wchar_t* service_name, std::unique_ptr<DiagnosticLog> log);
  virtual ~CServiceBase();
  CServiceBase(const CServiceBase&) = delete;
  CServiceBase& operator=(const CServiceBase&) = delete;

  // Where status reports and event records go; until set, they go nowhere.
  void set_host(ServiceHost* host) { host_ = host; }
  const wchar_t* service_name() const { return service_name_; }
  ServiceStatus status() const;

  // The control handler's dispatch; always NO_ERROR.
  uint32_t HandleControl(uint32_t control, uint32_t event_type, void* event_data);

  // Frame operations around the hooks.
  void Start(const std::vector<std::wstring>& args);
  void Stop();
  void Pause();
  void Continue();
  void Shutdown();
  void PowerEvent(uint32_t event_type, void* event_data);
  void SessionChange(uint32_t event_type, void* event_data);

  void ReportStatus(uint32_t state, uint32_t exit_code = 0);
  void LogEventEntry(const std::wstring& message, uint16_t type);
  void LogErrorEntry(const std::wstring& function, uint32_t error);

  // The check-point counter is process-wide and starts at 1.
  static void ResetCheckPointForTesting();

 protected:
  virtual void OnStart(const std::vector<std::wstring>& /*args*/) {}
  virtual void OnStop() {}
  virtual void OnPause() {}
  virtual void OnContinue() {}
  virtual void OnShutdown() {}
  virtual void OnPowerEvent(uint32_t /*event_type*/, void* /*event_data*/) {}
  virtual void OnSessionChange(uint32_t /*event_type*/, void* /*event_data*/) {}

  // Diagnostic-log line when logging is on.
  void Log(const wchar_t* function, const std::wstring& message) const;
  DiagnosticLog* log() const { return log_.get(); }

 private:
  std::unique_ptr<DiagnosticLog> log_;
  const wchar_t* service_name_;
  mutable std::mutex status_lock_;
  ServiceStatus status_;
  ServiceHost* host_ = nullptr;
};

}  // namespace vantrel::supervisor
