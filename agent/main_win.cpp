#include <windows.h>

#include "agent/agent_frame.h"
#include "common/host_window.h"
#include "common/program_info.h"

namespace vantrel::agent {
namespace {

std::wstring LoadResourceString(uint16_t id, const wchar_t* fallback) {
  wchar_t buffer[100] = {};
  const int n = LoadStringW(GetModuleHandleW(nullptr), id, buffer, 100);
  return n > 0 ? std::wstring(buffer, static_cast<size_t>(n)) : std::wstring(fallback);
}

INT_PTR CALLBACK About(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
        EndDialog(dialog, LOWORD(wparam));
        return TRUE;
      }
      break;
    default:
      break;
  }
  return FALSE;
}

std::optional<intptr_t> OnMessage(HostWindow& window, uint32_t message, uintptr_t wparam, intptr_t) {
  HWND hwnd = static_cast<HWND>(window.native_handle());
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      BeginPaint(hwnd, &ps);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_COMMAND:
      if (LOWORD(wparam) == kIdmAbout) {
        DialogBoxW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kIddAbout), hwnd, &About);
        return 0;
      }
      if (LOWORD(wparam) == kIdmExit) {
        DestroyWindow(hwnd);
        return 0;
      }
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

}  // namespace
}  // namespace vantrel::agent

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  using namespace vantrel::agent;
  if (vantrel::HandleInfoSwitch(vantrel::ProcessArguments(), kAgentProgram, kAgentHelp)) return 0;
  return RunAgent(LoadResourceString(kIdsTitle, kAgentTitle), LoadResourceString(kIdcClass, kAgentClass),
                  &OnMessage);
}
