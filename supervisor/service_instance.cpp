#include "supervisor/service_instance.h"

#include <chrono>

#include "common/paths.h"
#include "common/registry.h"
#include "common/text.h"
#include "common/win32_errors.h"

namespace vantrel::supervisor {
namespace {

constexpr wchar_t kMonitorFn[] = L"CServiceInstance::monitorProcess";
constexpr wchar_t kLaunchFn[] = L"CServiceInstance::LaunchService";
constexpr wchar_t kSessionFn[] = L"CServiceInstance::isProcessRunOnSessionID";

}  // namespace

CServiceInstance::CServiceInstance(const wchar_t* service_name, std::unique_ptr<DiagnosticLog> log,
                                   SupervisorPlatform* platform)
    : CServiceBase(service_name, std::move(log)), platform_(platform) {}

CServiceInstance::~CServiceInstance() { EndThreads(); }

// The threads this object started use it until they return: stop them (their
// waits end at once) and wait for them before the members go away.
void CServiceInstance::EndThreads() {
  std::unique_lock<std::mutex> lock(stop_lock_);
  stopping_ = true;
  stop_cv_.notify_all();
  stop_cv_.wait(lock, [this] { return live_threads_ == 0; });
}

bool CServiceInstance::worker_started() const {
  std::lock_guard<std::mutex> guard(event_lock_);
  return worker_started_;
}

bool CServiceInstance::Pause(uint32_t ms) {
  std::unique_lock<std::mutex> lock(stop_lock_);
  stop_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
  return !stopping_;
}

bool CServiceInstance::RunTracked(std::function<void()> body) {
  {
    std::lock_guard<std::mutex> guard(stop_lock_);
    ++live_threads_;
  }
  auto tracked = [this, body = std::move(body)] {
    body();
    std::lock_guard<std::mutex> guard(stop_lock_);
    --live_threads_;
    stop_cv_.notify_all();
  };
  if (platform_->StartThread(tracked)) return true;
  std::lock_guard<std::mutex> guard(stop_lock_);
  --live_threads_;
  return false;
}

void CServiceInstance::OnStart(const std::vector<std::wstring>& /*args*/) {
  LogEventEntry(L"Vantrel Agent Service Central in OnStart", kEventInformation);
  Log(L"OnStart", L"Vantrel Agent Service Central in OnStart");

  reg::Registry& registry = reg::SystemRegistry();
  if (registry.OpenKey(reg::Root::kLocalMachine, reg::kSuiteKey) != win32::kErrorSuccess) {
    Log(L"OnStart", L"Registry not found");
    registry.CreateKey(reg::Root::kLocalMachine, reg::kSuiteKey);
  }

  {
    std::lock_guard<std::mutex> guard(stop_lock_);
    ++live_threads_;
  }
  uint32_t error = platform_->QueueWorkItem([this] {
    ServiceWorkerThread();
    std::lock_guard<std::mutex> guard(stop_lock_);
    --live_threads_;
    stop_cv_.notify_all();
  });
  if (error != win32::kErrorSuccess) {
    {
      std::lock_guard<std::mutex> guard(stop_lock_);
      --live_threads_;
    }
    RaiseWin32Error(error);
  }
}

void CServiceInstance::ServiceWorkerThread() {
  Log(L"ServiceWorkerThread", L"ServiceWorkerThread Enter");
  RunTracked([this] { monitorProcess(); });
  {
    std::lock_guard<std::mutex> guard(event_lock_);
    worker_started_ = true;
  }
  event_cv_.notify_all();
  Log(L"ServiceWorkerThread", L"ServiceWorkerThread End");
}

void CServiceInstance::monitorProcess() {
  for (;;) {
    uint32_t pause = RunMonitorCycle();
    system_suspending_ = 0;
    if (!Pause(pause)) return;
  }
}

bool CServiceInstance::LaunchAgent() {
  std::lock_guard<std::mutex> launch(launch_lock_);
  {
    std::lock_guard<std::mutex> guard(stop_lock_);
    if (stopping_) return false;
  }
  return platform_->LaunchInServiceContext(platform_->WorkerPath(Worker::kAgent));
}

bool CServiceInstance::LaunchHardware() {
  std::lock_guard<std::mutex> launch(launch_lock_);
  {
    std::lock_guard<std::mutex> guard(stop_lock_);
    if (stopping_) return false;
  }
  return platform_->LaunchInConsoleSession(platform_->WorkerPath(Worker::kHardware));
}

uint32_t CServiceInstance::RunMonitorCycle() {
  const std::wstring agent = platform_->WorkerFileName(Worker::kAgent);
  const std::wstring hardware = platform_->WorkerFileName(Worker::kHardware);
  try {
    Log(kMonitorFn, L"Launch " + agent + L" start");
    // Unconditional: a running agent's duplicate ends through its own single-instance guard.
    LaunchAgent();
    for (int i = 0; i < kMonitorAttempts; ++i) {
      if (platform_->IsProcessRunning(agent)) break;
      if (!Pause(kMonitorRetryMs)) break;
      bool started = LaunchAgent();
      Log(kMonitorFn, L"Launch " + agent + text::Format(L" : %x", started ? 1u : 0u));
    }
    Log(kMonitorFn, L"Launch " + agent + L" end");
  } catch (...) {
  }
  try {
    Log(kMonitorFn, L"Launch " + hardware + L" start");
    LaunchHardware();
    for (int i = 0; i < kMonitorAttempts; ++i) {
      if (platform_->IsProcessRunning(hardware)) break;
      if (!Pause(kMonitorRetryMs)) break;
      LaunchHardware();
    }
    Log(kMonitorFn, L"Launch " + hardware + L" end");
  } catch (...) {
  }
  return DetermineSleepTime();
}

uint32_t CServiceInstance::DetermineSleepTime() {
  reg::Registry& registry = reg::SystemRegistry();
  uint32_t pause = kDefaultSleepTime;
  uint32_t probe_size = 0;
  if (registry.GetValue(reg::Root::kLocalMachine, reg::kSuiteKey, kSleepTimeValue, win32::kRrfRtAny, nullptr,
                        nullptr, &probe_size) != win32::kErrorSuccess) {
    StoreSleepTime(kDefaultSleepTime);
    return pause;
  }
  uint32_t value = 0;
  uint32_t size = sizeof value;
  uint32_t type = 0;
  if (registry.GetValue(reg::Root::kLocalMachine, reg::kSuiteKey, kSleepTimeValue, win32::kRrfRtRegDword, &type,
                        &value, &size) == win32::kErrorSuccess) {
    return value;
  }
  // Another type: repaired in place as a DWORD 0.
  if (StoreSleepTime(0) == win32::kErrorSuccess) pause = 0;
  return pause;
}

uint32_t CServiceInstance::StoreSleepTime(uint32_t milliseconds) {
  reg::Registry& registry = reg::SystemRegistry();
  if (registry.OpenKey(reg::Root::kLocalMachine, reg::kSuiteKey) != win32::kErrorSuccess) {
    uint32_t error = registry.CreateKey(reg::Root::kLocalMachine, reg::kSuiteKey);
    if (error != win32::kErrorSuccess) return error;
  }
  return registry.SetValue(reg::Root::kLocalMachine, reg::kSuiteKey, kSleepTimeValue, win32::kRegDword,
                           &milliseconds, sizeof milliseconds);
}

void CServiceInstance::OnStop() {
  LogEventEntry(L"Vantrel Agent Service Central in OnStop", kEventInformation);
  {
    // After this no launch starts, and every earlier one has finished, so the
    // sweep below sees all the workers this service started.
    std::lock_guard<std::mutex> launch(launch_lock_);
    std::lock_guard<std::mutex> guard(stop_lock_);
    stopping_ = true;
    stop_cv_.notify_all();
  }
  platform_->TerminateProcessesByName(platform_->WorkerFileName(Worker::kAgent));
  platform_->TerminateProcessesByName(platform_->WorkerFileName(Worker::kHardware));
  std::unique_lock<std::mutex> lock(event_lock_);
  event_cv_.wait(lock, [this] { return worker_started_; });
}

void CServiceInstance::OnPowerEvent(uint32_t event_type, void* event_data) {
  const wchar_t* fn = L"OnPowerEvent";
  Log(fn, L"OnPowerEvent Enter");
  Log(fn, text::Format(L"event_type %x event_data %x", event_type,
                       static_cast<unsigned>(reinterpret_cast<uintptr_t>(event_data))));
  switch (event_type) {
    case kPbtApmSuspend:
      system_suspending_ = 1;
      Log(fn, L"PBT_APMSUSPEND");
      break;
    case kPbtApmResumeSuspend:
      system_suspending_ = 0;
      Log(fn, L"PBT_APMRESUMESUSPEND");
      break;
    case kPbtApmResumeAutomatic:
      Log(fn, L"PBT_APMRESUMEAUTOMATIC");
      break;
    default:
      break;
  }
  Log(fn, L"OnPowerEvent End");
}

void CServiceInstance::OnSessionChange(uint32_t event_type, void* event_data) {
  const wchar_t* fn = L"OnSessionChange";
  const auto* notification = static_cast<const SessionNotification*>(event_data);
  const uint32_t session = notification ? notification->dwSessionId : 0;
  Log(fn, L"OnSessionChange Enter");
  Log(fn, text::Format(L"event_type %x event_data %x", event_type, session));
  switch (event_type) {
    case kWtsConsoleConnect:
      Log(fn, L"WTS_CONSOLE_CONNECT");
      if (system_suspending_ != 1) {
        connected_session_id_ = session;
        RunTracked([this] { LaunchService(); });
      }
      break;
    case kWtsConsoleDisconnect:
      Log(fn, L"WTS_CONSOLE_DISCONNECT");
      RecoverAtConsoleDisconnect();
      break;
    case kWtsRemoteConnect:
      Log(fn, L"WTS_REMOTE_CONNECT");
      break;
    case kWtsRemoteDisconnect:
      Log(fn, L"WTS_REMOTE_DISCONNECT");
      break;
    case kWtsSessionLogon:
      Log(fn, L"WTS_SESSION_LOGON");
      break;
    case kWtsSessionLogoff:
      Log(fn, L"WTS_SESSION_LOGOFF");
      break;
    case kWtsSessionLock:
      Log(fn, L"WTS_SESSION_LOCK");
      break;
    case kWtsSessionUnlock:
      Log(fn, L"WTS_SESSION_UNLOCK");
      break;
    case kWtsSessionRemoteControl:
      Log(fn, L"WTS_SESSION_REMOTE_CONTROL");
      break;
    case kWtsSessionCreate:
      Log(fn, L"WTS_SESSION_CREATE");
      break;
    case kWtsSessionTerminate:
      Log(fn, L"WTS_SESSION_TERMINATE");
      break;
    default:
      break;
  }
  Log(fn, L"OnSessionChange End");
}

void CServiceInstance::RecoverAtConsoleDisconnect() {
  try {
    if (platform_->FileExists(paths::MapWindowsPath(kRecoveryServiceTag))) {
      Log(L"WTS_CONSOLE_DISCONNECT", L"recovery_service");
      platform_->TerminateProcessesByName(platform_->WorkerFileName(Worker::kAgent));
    }
    if (!platform_->FileExists(paths::MapWindowsPath(kRecoveryHardwareTag))) {
      Log(L"WTS_CONSOLE_DISCONNECT", L"recovery_hardware_service");
      platform_->TerminateProcessesByName(platform_->WorkerFileName(Worker::kHardware));
    }
  } catch (...) {
  }
}

// Which hardware service counts as running in the connected session: one whose
// session is the recorded console session. Before the first accepted connect
// (999) and for session 0 (services only) none counts.
bool CServiceInstance::HardwareRunsInConnectedSession(const std::wstring& name) {
  const uint32_t connected = connected_session_id_;
  for (const WorkerProcess& p : platform_->ProcessSessions(name)) {
    Log(kSessionFn, text::Format(L"%ls process ID is %d, %ls session ID is %d", name.c_str(),
                                 static_cast<int>(p.pid), name.c_str(), static_cast<int>(p.session_id)));
    if (connected != kNoSessionRecorded && connected != 0 && p.session_id == connected) {
      Log(kSessionFn, L"Found process run in the current session");
      return true;
    }
  }
  return false;
}

void CServiceInstance::LaunchService() {
  const std::wstring agent = platform_->WorkerFileName(Worker::kAgent);
  const std::wstring hardware = platform_->WorkerFileName(Worker::kHardware);
  try {
    Log(kLaunchFn, L"Launch " + agent + L" start");
    for (int i = 0; i < kLaunchAttempts; ++i) {
      if (platform_->IsProcessRunning(agent) || system_suspending_ == 1) break;
      if (!Pause(kLaunchRetryMs)) break;
      LaunchAgent();
      Log(kLaunchFn, L"Launch " + agent);
    }
    Log(kLaunchFn, L"Launch " + agent + L" end");
  } catch (...) {
  }
  try {
    Log(kLaunchFn, L"Launch " + hardware + L" start");
    for (int i = 0; i < kLaunchAttempts; ++i) {
      if (HardwareRunsInConnectedSession(hardware)) break;
      // A suspend in progress: the next cycle or connect starts it.
      if (system_suspending_ == 1) break;
      if (!Pause(kLaunchRetryMs)) break;
      LaunchHardware();
    }
    Log(kLaunchFn, L"Launch " + hardware + L" end");
  } catch (...) {
  }
}

}  // namespace vantrel::supervisor
