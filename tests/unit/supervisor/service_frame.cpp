// The service frame: status sequences of every frame operation on success, on
// a raised Win32 error and on any other exception; the check-point rule; the
// control dispatch; the event-log records.
#include <gtest/gtest.h>

#include <stdexcept>

#include "supervisor/service_base.h"

namespace vantrel::supervisor {
namespace {

struct Record {
  uint16_t type;
  std::wstring service;
  std::wstring message;
};

class FakeHost : public ServiceHost {
 public:
  void SetStatus(const ServiceStatus& status) override { statuses.push_back(status); }
  void WriteEvent(uint16_t type, const std::wstring& service, const std::wstring& message) override {
    events.push_back({type, service, message});
  }
  std::vector<uint32_t> States() const {
    std::vector<uint32_t> out;
    for (const auto& s : statuses) out.push_back(s.current_state);
    return out;
  }
  std::vector<ServiceStatus> statuses;
  std::vector<Record> events;
};

enum class Outcome { kSuccess, kWin32Error, kOther };

class HookService : public CServiceBase {
 public:
  HookService() : CServiceBase(L"VACSvc", nullptr) {}
  Outcome outcome = Outcome::kSuccess;
  std::vector<std::string> calls;
  uint32_t last_event_type = 0;
  void* last_event_data = nullptr;

 protected:
  void Act(const char* hook) {
    calls.push_back(hook);
    if (outcome == Outcome::kWin32Error) RaiseWin32Error(5);
    if (outcome == Outcome::kOther) throw std::runtime_error("boom");
  }
  void OnStart(const std::vector<std::wstring>&) override { Act("start"); }
  void OnStop() override { Act("stop"); }
  void OnPause() override { Act("pause"); }
  void OnContinue() override { Act("continue"); }
  void OnShutdown() override { Act("shutdown"); }
  void OnPowerEvent(uint32_t type, void* data) override {
    last_event_type = type;
    last_event_data = data;
    Act("power");
  }
  void OnSessionChange(uint32_t type, void* data) override {
    last_event_type = type;
    last_event_data = data;
    Act("session");
  }
};

struct Expectation {
  uint32_t control;
  Outcome outcome;
  std::vector<uint32_t> states;
  uint32_t last_exit_code;
  std::wstring event;  // empty: no record
  uint16_t event_type;
};

TEST(ServiceFrameTest, StatusSequencesOfEveryOperation) {
  const uint32_t running = kServiceRunning;
  const Expectation table[] = {
      // Stop starts from running (the state before the test's control).
      {kControlStop, Outcome::kSuccess, {kServiceStopPending, kServiceStopped}, 0, L"", 0},
      {kControlStop, Outcome::kWin32Error, {kServiceStopPending, running}, 0, L"Service Stop failed w/err 0x00000005",
       kEventError},
      {kControlStop, Outcome::kOther, {kServiceStopPending, running}, 0, L"Service failed to stop.", kEventError},
      {kControlPause, Outcome::kSuccess, {kServicePausePending, kServicePaused}, 0, L"", 0},
      {kControlPause, Outcome::kWin32Error, {kServicePausePending, kServiceRunning}, 0,
       L"Service Pause failed w/err 0x00000005", kEventError},
      {kControlPause, Outcome::kOther, {kServicePausePending, kServiceRunning}, 0, L"Service failed to pause.",
       kEventError},
      {kControlContinue, Outcome::kSuccess, {kServiceContinuePending, kServiceRunning}, 0, L"", 0},
      {kControlContinue, Outcome::kWin32Error, {kServiceContinuePending, kServicePaused}, 0,
       L"Service Continue failed w/err 0x00000005", kEventError},
      {kControlContinue, Outcome::kOther, {kServiceContinuePending, kServicePaused}, 0, L"Service failed to resume.",
       kEventError},
      {kControlShutdown, Outcome::kSuccess, {kServiceStopped}, 0, L"", 0},
      {kControlShutdown, Outcome::kWin32Error, {}, 0, L"Service Shutdown failed w/err 0x00000005", kEventError},
      {kControlShutdown, Outcome::kOther, {}, 0, L"Service failed to shut down.", kEventError},
      {kControlPowerEvent, Outcome::kSuccess, {}, 0, L"", 0},
      {kControlPowerEvent, Outcome::kWin32Error, {}, 0, L"Service PowerEvent failed w/err 0x00000005", kEventError},
      {kControlPowerEvent, Outcome::kOther, {}, 0, L"Service failed PowerEvent.", kEventError},
      {kControlSessionChange, Outcome::kSuccess, {}, 0, L"", 0},
      {kControlSessionChange, Outcome::kWin32Error, {}, 0, L"Service SessionChange failed w/err 0x00000005",
       kEventError},
      {kControlSessionChange, Outcome::kOther, {}, 0, L"Service failed SessionChange.", kEventError},
  };
  for (const Expectation& e : table) {
    SCOPED_TRACE(::testing::Message() << "control " << e.control << " outcome " << static_cast<int>(e.outcome));
    HookService service;
    FakeHost host;
    service.set_host(&host);
    service.ReportStatus(kServiceRunning);
    host.statuses.clear();
    service.outcome = e.outcome;
    EXPECT_EQ(service.HandleControl(e.control, 0, nullptr), 0u);
    EXPECT_EQ(service.calls.size(), 1u);
    EXPECT_EQ(host.States(), e.states);
    for (const auto& s : host.statuses) {
      EXPECT_EQ(s.win32_exit_code, 0u);
      EXPECT_EQ(s.service_type, kServiceWin32OwnProcess);
      EXPECT_EQ(s.controls_accepted, kControlsAccepted);
      EXPECT_EQ(s.wait_hint, 0u);
      EXPECT_EQ(s.service_specific_exit_code, 0u);
    }
    if (e.event.empty()) {
      EXPECT_TRUE(host.events.empty());
    } else {
      ASSERT_EQ(host.events.size(), 1u);
      EXPECT_EQ(host.events[0].message, e.event);
      EXPECT_EQ(host.events[0].type, e.event_type);
      EXPECT_EQ(host.events[0].service, L"VACSvc");
    }
  }
}

TEST(ServiceFrameTest, StartOutcomes) {
  struct Case {
    Outcome outcome;
    std::vector<uint32_t> states;
    uint32_t exit_code;
    std::wstring event;
  } cases[] = {
      {Outcome::kSuccess, {kServiceStartPending, kServiceRunning}, 0, L""},
      // A raised error becomes the exit code of the stopped report.
      {Outcome::kWin32Error, {kServiceStartPending, kServiceStopped}, 5, L"Service Start failed w/err 0x00000005"},
      {Outcome::kOther, {kServiceStartPending, kServiceStopped}, 0, L"Service failed to start."},
  };
  for (const Case& c : cases) {
    HookService service;
    FakeHost host;
    service.set_host(&host);
    service.outcome = c.outcome;
    service.Start({L"VACSvc"});
    EXPECT_EQ(host.States(), c.states);
    EXPECT_EQ(host.statuses.back().win32_exit_code, c.exit_code);
    EXPECT_EQ(host.events.empty() ? L"" : host.events[0].message, c.event);
  }
}

TEST(ServiceFrameTest, StopFailureRestoresTheStateBeforeIt) {
  HookService service;
  FakeHost host;
  service.set_host(&host);
  service.ReportStatus(kServicePaused);
  service.outcome = Outcome::kWin32Error;
  service.Stop();
  EXPECT_EQ(host.States(), (std::vector<uint32_t>{kServicePaused, kServiceStopPending, kServicePaused}));
  EXPECT_EQ(service.status().current_state, kServicePaused);
}

TEST(ServiceFrameTest, CheckPointsCountPendingReportsOnly) {
  CServiceBase::ResetCheckPointForTesting();
  HookService service;
  FakeHost host;
  service.set_host(&host);
  service.Start({});
  service.HandleControl(kControlPause, 0, nullptr);
  service.HandleControl(kControlContinue, 0, nullptr);
  service.HandleControl(kControlStop, 0, nullptr);
  std::vector<std::pair<uint32_t, uint32_t>> seen;
  for (const auto& s : host.statuses) seen.push_back({s.current_state, s.check_point});
  EXPECT_EQ(seen, (std::vector<std::pair<uint32_t, uint32_t>>{{kServiceStartPending, 1},
                                                             {kServiceRunning, 0},
                                                             {kServicePausePending, 2},
                                                             {kServicePaused, 3},
                                                             {kServiceContinuePending, 4},
                                                             {kServiceRunning, 0},
                                                             {kServiceStopPending, 5},
                                                             {kServiceStopped, 0}}));
  // The counter belongs to the process, not to one service object.
  HookService other;
  FakeHost other_host;
  other.set_host(&other_host);
  other.ReportStatus(kServiceStartPending);
  EXPECT_EQ(other_host.statuses.back().check_point, 6u);
}

TEST(ServiceFrameTest, ControlsWithoutOperationAndEventArguments) {
  HookService service;
  FakeHost host;
  service.set_host(&host);
  for (uint32_t control : {uint32_t{kControlInterrogate}, 6u, 12u, 15u, 0xFFu}) {
    EXPECT_EQ(service.HandleControl(control, 0, nullptr), 0u);
  }
  EXPECT_TRUE(service.calls.empty());
  EXPECT_TRUE(host.statuses.empty());

  int data = 0;
  service.HandleControl(kControlPowerEvent, 7, &data);
  EXPECT_EQ(service.last_event_type, 7u);
  EXPECT_EQ(service.last_event_data, &data);
  service.HandleControl(kControlSessionChange, 2, &data);
  EXPECT_EQ(service.calls, (std::vector<std::string>{"power", "session"}));
  EXPECT_EQ(service.last_event_type, 2u);
}

TEST(ServiceFrameTest, ErrorRecordsAreCutAt259Characters) {
  HookService service;
  FakeHost host;
  service.set_host(&host);
  service.LogErrorEntry(std::wstring(300, L'x'), 0x1234);
  ASSERT_EQ(host.events.size(), 1u);
  EXPECT_EQ(host.events[0].message, std::wstring(259, L'x'));
  service.LogErrorEntry(L"Service Start", 0xC0000005u);
  EXPECT_EQ(host.events[1].message, L"Service Start failed w/err 0xc0000005");
  // Without a host nothing is written and nothing fails.
  service.set_host(nullptr);
  service.LogEventEntry(L"x", kEventInformation);
  service.ReportStatus(kServiceRunning);
}

}  // namespace
}  // namespace vantrel::supervisor
