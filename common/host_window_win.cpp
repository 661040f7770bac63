#include <windows.h>

#include "common/host_window.h"

namespace vantrel {
namespace {

// Posted by Quit() so that PostQuitMessage runs on the window's own thread.
constexpr UINT kQuitMessage = WM_APP + 0x100;

}  // namespace

struct HostWindow::Impl {
  HACCEL accelerators = nullptr;

  static HostWindow* From(HWND hwnd) {
    return reinterpret_cast<HostWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  }

  static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
      auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
      auto* self = static_cast<HostWindow*>(create->lpCreateParams);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
      self->handle_ = hwnd;
      return DefWindowProcW(hwnd, message, wparam, lparam);
    }
    HostWindow* self = From(hwnd);
    if (self == nullptr) return DefWindowProcW(hwnd, message, wparam, lparam);
    const HostWindowConfig& config = self->config_;
    switch (message) {
      case WM_CREATE:
        if (config.on_create && !config.on_create(*self)) return -1;
        return 0;
      case WM_CLOSE:
        if (config.on_close && config.on_close(*self)) return 0;
        DestroyWindow(hwnd);
        return 0;
      case WM_DESTROY:
        if (config.on_destroy) config.on_destroy(*self);
        PostQuitMessage(0);
        return 0;
      case kQuitMessage:
        PostQuitMessage(static_cast<int>(wparam));
        return 0;
      default:
        break;
    }
    if (config.on_message) {
      std::optional<intptr_t> handled = config.on_message(*self, message, wparam, lparam);
      if (handled) return static_cast<LRESULT>(*handled);
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
  }
};

HostWindow::HostWindow(HostWindowConfig config) : config_(std::move(config)), impl_(new Impl()) {}

HostWindow::~HostWindow() {
  if (handle_ != nullptr) {
    HWND hwnd = static_cast<HWND>(handle_);
    // Detach first: the callbacks must not run from a destructor.
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    DestroyWindow(hwnd);
  }
  delete impl_;
}

bool HostWindow::Create() {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = &Impl::Procedure;
  wc.hInstance = instance;
  if (config_.icon_id != 0) {
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(config_.icon_id));
    wc.hIconSm = wc.hIcon;
  }
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
  wc.lpszMenuName = config_.menu_id != 0 ? MAKEINTRESOURCEW(config_.menu_id) : nullptr;
  wc.lpszClassName = config_.class_name.c_str();
  // A class left registered by an earlier window of this process is fine.
  if (RegisterClassExW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;

  HWND hwnd = CreateWindowExW(0, config_.class_name.c_str(), config_.title.c_str(), WS_OVERLAPPEDWINDOW,
                              CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, nullptr, nullptr, instance, this);
  if (hwnd == nullptr) {
    handle_ = nullptr;
    return false;
  }
  handle_ = hwnd;
  if (config_.accelerator_id != 0) {
    impl_->accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(config_.accelerator_id));
  }
  return true;
}

int HostWindow::RunMessageLoop() {
  MSG msg;
  BOOL got;
  while ((got = GetMessageW(&msg, nullptr, 0, 0)) != 0) {
    if (got == -1) return 0;
    if (impl_->accelerators != nullptr && handle_ != nullptr &&
        TranslateAcceleratorW(static_cast<HWND>(handle_), impl_->accelerators, &msg)) {
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return static_cast<int>(msg.wParam);
}

void HostWindow::RequestClose() {
  if (handle_ != nullptr) PostMessageW(static_cast<HWND>(handle_), WM_CLOSE, 0, 0);
}

void HostWindow::Quit(int exit_code) {
  if (handle_ != nullptr) PostMessageW(static_cast<HWND>(handle_), kQuitMessage, static_cast<WPARAM>(exit_code), 0);
}

}  // namespace vantrel
