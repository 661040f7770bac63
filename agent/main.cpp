// The monitor agent's frame: one instance per session, the log, and the hidden
// window whose creation starts everything and whose closing ends the process.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "agent/agent_frame.h"
#include "agent/metrics/init_config.h"
#include "agent/relay/event_relay.h"
#include "agent/report/monitor_report.h"
#include "agent/server/socket_server.h"
#include "common/diag_log.h"
#include "common/host_window.h"
#include "common/names.h"
#include "common/single_instance.h"

namespace vantrel::agent {

namespace {

// WM_CLOSE and WM_DESTROY both end up here. The teardown waits for a report
// that still holds InitConfig, bounded, so a hung hardware service cannot keep
// the process from ending.
void TearDownCounters() { ProcessInitConfig().Teardown(); }

}  // namespace

int RunAgent(const std::wstring& title, const std::wstring& class_name, WindowMessageHook on_message) {
  std::unique_ptr<SingleInstance> instance = SingleInstance::Acquire(names::Instance(kAgentMutex));
  if (!instance->ShouldRun()) return 0;

  std::unique_ptr<DiagnosticLog> log = OpenDiagnosticLog(title, kAgentModule);
  if (log) SetProcessLog(log.release());  // kept for the life of the process
  LogInfo(L"wWinMain", L"VantrelAgentService, BEGIN");
  InstallMonitorDataReport();

  HostWindowConfig config;
  config.class_name = class_name;
  config.title = title;
  config.menu_id = kIdcClass;
  config.accelerator_id = kIdcClass;
  config.on_create = [](HostWindow&) {
    LogInfo(L"WindowsMessageLoop::WindowsCreate", L"WindowsCreate, BEGIN");
    ProcessInitConfig().Install(std::make_unique<InitConfig>());
    std::thread(&SocketServerLoop).detach();
    LogInfo(L"WindowsMessageLoop::WindowsCreate", L"SocketServerLoop, BEGIN");
    std::thread(&NamedPipeLoop).detach();
    LogInfo(L"WindowsMessageLoop::WindowsCreate", L"NamedPipeLoop, BEGIN");
    return true;
  };
  // WM_CLOSE ends the loop like WM_DESTROY without destroying the window.
  config.on_close = [](HostWindow& window) {
    TearDownCounters();
    window.Quit(0);
    return true;
  };
  config.on_destroy = [](HostWindow&) { TearDownCounters(); };
  config.on_message = std::move(on_message);

  HostWindow window(config);
  if (!window.Create()) return 0;
  const int code = window.RunMessageLoop();
  // The server, processing and pipe threads have no stop path: end the process
  // without running static destructors under them.
  std::fflush(nullptr);
  std::_Exit(code);
}

}  // namespace vantrel::agent
