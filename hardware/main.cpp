// The hardware service's frame: single instance per session, optional
// diagnostic log, the hidden window whose creation starts the pipe listener,
// the firmware event subscription, raw input and the HID scan.
#include <exception>
#include <memory>
#include <thread>

#include "common/diag_log.h"
#include "common/names.h"
#include "common/pipe_transport.h"
#include "common/registry.h"
#include "common/single_instance.h"
#include "common/text.h"
#include "hardware/commands/command_processor.h"
#include "hardware/firmware/platform.h"
#include "hardware/service_frame.h"
#include "hardware/startup.h"

namespace vantrel::hw {
namespace {

// The listener: start-up work, then the pipe server for the life of the process.
//
// A server that cannot start (or whose accept loop ends) leaves a process that
// looks alive to the supervisor but serves nobody; the supervisor only starts
// programs that are missing. So the failure is logged and the process ends
// (exit code 1), and the supervisor's next cycle starts a fresh one.
void ListenerThread(HostWindow* window) {
  RunListenerStartup(reg::SystemRegistry(), DefaultListenerStartupHooks());
  const std::wstring pipe_name = names::Instance(names::kHardwarePipe);
  try {
    pipe::run_pipe_server(pipe_name, velmont::VmClientCommandProcessor::CommandTable());
    Log(kLogError, L"run_pipe_server", L"pipe server stopped accepting clients; ending the process");
  } catch (const std::exception& e) {
    Log(kLogException, L"run_pipe_server", L"pipe server failed: " + text::FromUtf8(e.what()));
  }
  window->Quit(1);
}

bool WindowsCreate(HostWindow& window) {
  LogInfo(L"WindowsMessageLoop::WindowsCreate", L"WindowsCreate, BEGIN");
  std::thread(ListenerThread, &window).detach();
  SubscribeFirmwareEvents(window.native_handle());
  StartKeyboardWatch(window.native_handle());
  return true;
}

}  // namespace

int RunHardwareService(const MessageHandler& platform_messages) {
  // Held until the process ends.
  static std::unique_ptr<SingleInstance> guard = SingleInstance::Acquire(names::Instance(kMutexName));
  if (!guard->ShouldRun()) return 0;

  HostWindowConfig config;
  config.title = LoadResourceString(kIdsTitle, kDefaultTitle);
  config.class_name = LoadResourceString(kIdsWindowClass, kDefaultWindowClass);
  config.icon_id = kIdiIcon;
  config.menu_id = kIdcMenu;
  config.accelerator_id = kIdcMenu;
  config.on_create = &WindowsCreate;
  config.on_message = platform_messages;

  // The log lives for the life of the process (worker threads may still write).
  SetProcessLog(OpenDiagnosticLog(config.title, kModuleName).release());
  LogInfo(L"wWinMain", L"VantrelHardwareService, BEGIN");
  velmont::firmware::RestoreFirmwareControl();

  // Never destroyed: the listener thread holds it until the process ends.
  HostWindow* window = new HostWindow(std::move(config));
  if (!window->Create()) return 0;
  const int code = window->RunMessageLoop();
  velmont::firmware::ReleaseFirmwareControl();
  return code;
}

}  // namespace vantrel::hw
