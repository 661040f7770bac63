// RequestStop on Windows: WM_CLOSE reaches a hidden top-level window of the
// child, which then ends on its own. The test program doubles as the child.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "common/process.h"
#include "tests/support/test_env.h"

namespace {

using namespace std::chrono_literals;
using vantrel::proc::Process;

LRESULT CALLBACK ChildWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_CLOSE) {
    DestroyWindow(hwnd);
    return 0;
  }
  if (msg == WM_DESTROY) {
    PostQuitMessage(5);
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

[[maybe_unused]] const bool kChildMode = [] {
  const char* mode = std::getenv("VANTREL_PROC_CHILD");
  if (!mode) return false;
  if (std::string(mode) == "window") {
    WNDCLASSW wc{};
    wc.lpfnWndProc = ChildWndProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"VantrelProcStopTest";
    RegisterClassW(&wc);
    // Never shown: the window stays hidden, as the workers' windows do.
    if (!CreateWindowExW(0, wc.lpszClassName, L"stop test", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr,
                         nullptr, wc.hInstance, nullptr))
      ExitProcess(98);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    ExitProcess(static_cast<UINT>(msg.wParam));
  }
  ExitProcess(99);
}();

// The child's own window, by class: a process may own other hidden windows
// (Wine's default IME window) before that one exists, and a stop asked for
// then finds nothing of the child's to close.
BOOL CALLBACK FindOwned(HWND hwnd, LPARAM lp) {
  auto* state = reinterpret_cast<std::pair<DWORD, bool>*>(lp);
  DWORD owner = 0;
  GetWindowThreadProcessId(hwnd, &owner);
  wchar_t cls[64] = {};
  GetClassNameW(hwnd, cls, 64);
  if (owner == state->first && std::wstring(cls) == L"VantrelProcStopTest") state->second = true;
  return TRUE;
}

TEST(ProcessWinTest, RequestStopClosesHiddenWindow) {
  auto p = Process::Start(vantrel::testing::ProgramPath(L"platform_common_process_stop"), {},
                          {{L"VANTREL_PROC_CHILD", L"window"}});
  ASSERT_TRUE(p);
  ASSERT_TRUE(vantrel::testing::WaitFor(
      [&] {
        std::pair<DWORD, bool> state{p->pid(), false};
        EnumWindows(FindOwned, reinterpret_cast<LPARAM>(&state));
        return state.second;
      },
      20s));
  p->RequestStop();
  EXPECT_EQ(p->Wait(20s), 5);
}

TEST(ProcessWinTest, KillGivesTheExitCode) {
  auto p = Process::Start(vantrel::testing::ProgramPath(L"platform_common_process_stop"), {},
                          {{L"VANTREL_PROC_CHILD", L"window"}});
  ASSERT_TRUE(p);
  p->Kill(9);
  EXPECT_EQ(p->Wait(20s), 9);
  // Names compare without case on Windows.
  auto q = Process::Start(vantrel::testing::ProgramPath(L"platform_common_process_stop"), {},
                          {{L"VANTREL_PROC_CHILD", L"window"}});
  ASSERT_TRUE(q);
  auto ids = vantrel::proc::FindProcessesByName(L"PLATFORM_COMMON_PROCESS_STOP.EXE");
  EXPECT_NE(std::find(ids.begin(), ids.end(), q->pid()), ids.end());
  q->Kill(9);
  EXPECT_TRUE(q->Wait(20s).has_value());
}

}  // namespace
