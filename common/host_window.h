// The hidden top-level window whose message loop carries a worker program's
// life (the monitor agent and the hardware service).
//
// Windows: a real window of its own class, never shown; its procedure calls
// the callbacks below on WM_CREATE, WM_CLOSE and WM_DESTROY and hands every
// other message to `on_message` before DefWindowProcW.
// Linux: there is no window. Create() blocks SIGTERM, SIGINT and SIGHUP in
// the calling thread (threads started afterwards inherit that) and runs
// `on_create`; the loop waits for one of those signals and treats it as
// WM_CLOSE. Call Create() before starting any thread, so that no other thread
// takes the signals' default action.
//
// Typical use, on the main thread:
//   HostWindow window(config);
//   if (!window.Create()) return 0;
//   return window.RunMessageLoop();
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace vantrel {

class HostWindow;

struct HostWindowConfig {
  std::wstring class_name;
  std::wstring title;
  // Windows resources of the program (0: none): class icon (large and small),
  // class menu, accelerator table used by the loop.
  uint16_t icon_id = 0;
  uint16_t menu_id = 0;
  uint16_t accelerator_id = 0;

  // WM_CREATE, on the thread that calls Create(). Returning false makes the
  // creation fail (Create() returns false).
  std::function<bool(HostWindow&)> on_create;
  // WM_CLOSE (Linux: SIGTERM/SIGINT/SIGHUP). Return true when handled: nothing
  // else happens (a handler that wants to end calls Quit()). Unset or false:
  // the default, the window is destroyed, so on_destroy runs and the loop ends
  // with 0.
  std::function<bool(HostWindow&)> on_close;
  // WM_DESTROY; the loop then ends with exit code 0.
  std::function<void(HostWindow&)> on_destroy;
  // Windows only: any other message (window handle, message, wParam, lParam).
  // A value means handled and is the procedure's result; nullopt passes the
  // message to DefWindowProcW.
  std::function<std::optional<intptr_t>(HostWindow&, uint32_t, uintptr_t, intptr_t)> on_message;
};

class HostWindow {
 public:
  explicit HostWindow(HostWindowConfig config);
  ~HostWindow();
  HostWindow(const HostWindow&) = delete;
  HostWindow& operator=(const HostWindow&) = delete;

  // Registers the class and creates the hidden window (Linux: prepares the
  // signal wait); on_create runs inside. False when creation failed.
  bool Create();
  // Runs until the quit message and returns its exit code.
  int RunMessageLoop();

  // Any thread: handle a close as WM_CLOSE (Windows: posts WM_CLOSE).
  void RequestClose();
  // Any thread: end the loop with `exit_code` (Windows: PostQuitMessage on the
  // window's thread).
  void Quit(int exit_code);

  // Windows: the HWND; Linux: null.
  void* native_handle() const { return handle_; }
  const HostWindowConfig& config() const { return config_; }

  // Used by the platform half only.
  struct Impl;

 private:
  HostWindowConfig config_;
  void* handle_ = nullptr;
  Impl* impl_ = nullptr;
};

}  // namespace vantrel
