// The supervisor service: keeps the monitor agent and the hardware service
// running, reacts to power and console-session events, ends both at stop.
// What it asks of the operating system goes through SupervisorPlatform.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "supervisor/service_base.h"

namespace vantrel::supervisor {

inline constexpr wchar_t kServiceName[] = L"VACSvc";
inline constexpr wchar_t kServiceDisplayName[] = L"Vantrel Agent Service Central";
inline constexpr wchar_t kLogSwitch[] = L"VACSvc";
inline constexpr wchar_t kLogModule[] = L"VantrelSysCentralService";

inline constexpr wchar_t kRecoveryServiceTag[] = L"C:\\ProgramData\\oem\\VantrelAgentService\\recovery_service.tag";
inline constexpr wchar_t kRecoveryHardwareTag[] =
    L"C:\\ProgramData\\oem\\VantrelAgentService\\recovery_hardware_service.tag";
inline constexpr wchar_t kSleepTimeValue[] = L"Sleep_time";
inline constexpr uint32_t kDefaultSleepTime = 60000;
inline constexpr int kMonitorAttempts = 20;
inline constexpr uint32_t kMonitorRetryMs = 5000;
inline constexpr int kLaunchAttempts = 4;
inline constexpr uint32_t kLaunchRetryMs = 3000;
inline constexpr uint32_t kNoSessionRecorded = 999;

// Power broadcast and session-change event types.
enum PowerEventType : uint32_t {
  kPbtApmSuspend = 4,
  kPbtApmResumeSuspend = 7,
  kPbtApmResumeAutomatic = 0x12,
};
enum SessionEventType : uint32_t {
  kWtsConsoleConnect = 1,
  kWtsConsoleDisconnect = 2,
  kWtsRemoteConnect = 3,
  kWtsRemoteDisconnect = 4,
  kWtsSessionLogon = 5,
  kWtsSessionLogoff = 6,
  kWtsSessionLock = 7,
  kWtsSessionUnlock = 8,
  kWtsSessionRemoteControl = 9,
  kWtsSessionCreate = 10,
  kWtsSessionTerminate = 11,
};

// Same layout as WTSSESSION_NOTIFICATION, of which only the session id is read.
struct SessionNotification {
  uint32_t cbSize;
  uint32_t dwSessionId;
};

enum class Worker { kAgent, kHardware };

struct WorkerProcess {
  uint32_t pid;
  uint32_t session_id;
};

// The operating system as the supervisor uses it.
class SupervisorPlatform {
 public:
  virtual ~SupervisorPlatform() = default;
  // The worker's executable name ("VantrelSysMonitorService.exe" on Windows).
  virtual std::wstring WorkerFileName(Worker worker) = 0;
  // Own directory + the worker's file name.
  virtual std::wstring WorkerPath(Worker worker) = 0;
  // A process with exactly this executable name runs (case-sensitive).
  virtual bool IsProcessRunning(const std::wstring& name) = 0;
  // Starts the program in the service's own context; true when it started.
  virtual bool LaunchInServiceContext(const std::wstring& path) = 0;
  // Starts the program in the active console session; true when it started.
  virtual bool LaunchInConsoleSession(const std::wstring& path) = 0;
  // Ends every process with exactly this executable name (exit code 9).
  virtual void TerminateProcessesByName(const std::wstring& name) = 0;
  // Processes with exactly this executable name and their session ids.
  virtual std::vector<WorkerProcess> ProcessSessions(const std::wstring& name) = 0;
  virtual bool FileExists(const std::wstring& path) = 0;
  // Queues a long-running work item; 0 or the Win32 error code.
  virtual uint32_t QueueWorkItem(std::function<void()> work) = 0;
  // Starts a thread; false when it could not be created.
  virtual bool StartThread(std::function<void()> body) = 0;
};

// Processes are started, ended and waited for through `platform`; it must outlive the instance.
class CServiceInstance : public CServiceBase {
 public:
  CServiceInstance(const wchar_t* service_name, std::unique_ptr<DiagnosticLog> log, SupervisorPlatform* platform);
  ~CServiceInstance() override;

  // One monitorProcess cycle without its final pause; returns the pause in ms.
  uint32_t RunMonitorCycle();
  // The pause after a cycle, from Sleep_time (missing: written as 60000; of
  // another type: rewritten as 0).
  uint32_t DetermineSleepTime();
  // Writes Sleep_time, creating the suite's key when it is missing.
  static uint32_t StoreSleepTime(uint32_t milliseconds);
  // The console-connect relaunch (thread body).
  void LaunchService();
  // Recovery at a console disconnect, decided by the two tag files.
  void RecoverAtConsoleDisconnect();

  // Ends the monitor and relaunch threads and waits for them. The destructor
  // does it; a derived class whose overrides those threads call does it first.
  void EndThreads();

  uint32_t system_suspending() const { return system_suspending_; }
  uint32_t connected_session_id() const { return connected_session_id_; }
  bool worker_started() const;

 protected:
  void OnStart(const std::vector<std::wstring>& args) override;
  void OnStop() override;
  void OnPowerEvent(uint32_t event_type, void* event_data) override;
  void OnSessionChange(uint32_t event_type, void* event_data) override;

  // Waits `ms`, cut short by the stop; false once the service is stopping.
  virtual bool Pause(uint32_t ms);

 private:
  void ServiceWorkerThread();
  void monitorProcess();
  // Starts a worker unless the service is stopping; the lock makes the stop's
  // termination sweep see every process started before it.
  bool LaunchAgent();
  bool LaunchHardware();
  bool HardwareRunsInConnectedSession(const std::wstring& name);
  bool RunTracked(std::function<void()> body);

  SupervisorPlatform* platform_;
  std::atomic<uint32_t> system_suspending_{0};
  std::atomic<uint32_t> connected_session_id_{kNoSessionRecorded};

  // workerStartedEvent: manual reset, set once the monitor thread runs. It is
  // a process-local event (mutex and condition) that cannot fail to be created,
  // so the program entry has no failure path for it before the dispatcher starts.
  mutable std::mutex event_lock_;
  std::condition_variable event_cv_;
  bool worker_started_ = false;

  // Stop and the threads this object started.
  std::mutex stop_lock_;
  std::condition_variable stop_cv_;
  bool stopping_ = false;
  int live_threads_ = 0;
  std::mutex launch_lock_;
};

}  // namespace vantrel::supervisor
