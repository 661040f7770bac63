// Processes on Windows: waiting, Toolhelp enumeration, TerminateProcess,
// WM_CLOSE to the process's windows. Starting them is in process_launch_win.cpp.
#include "common/process.h"

#include <windows.h>
#include <tlhelp32.h>

#include "common/process_win.h"
#include "common/text.h"

namespace vantrel::proc {

namespace {

BOOL CALLBACK PostCloseToWindow(HWND hwnd, LPARAM lparam) {
  DWORD owner = 0;
  GetWindowThreadProcessId(hwnd, &owner);
  if (owner == static_cast<DWORD>(lparam)) PostMessageW(hwnd, WM_CLOSE, 0, 0);
  return TRUE;
}

}  // namespace

Process::~Process() {
  if (impl_ && impl_->process) CloseHandle(impl_->process);
}

bool Process::Running() { return WaitForSingleObject(impl_->process, 0) == WAIT_TIMEOUT; }

std::optional<int> Process::Wait(std::chrono::milliseconds timeout) {
  auto ms = timeout.count();
  DWORD wait = ms < 0 ? 0 : ms >= static_cast<long long>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(ms);
  if (WaitForSingleObject(impl_->process, wait) != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  if (!GetExitCodeProcess(impl_->process, &code)) return -1;
  return static_cast<int>(code);
}

int Process::WaitForExit() {
  WaitForSingleObject(impl_->process, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(impl_->process, &code);
  return static_cast<int>(code);
}

bool Process::EndedBySignal() { return false; }

void Process::Kill(int exit_code) { TerminateProcess(impl_->process, static_cast<UINT>(exit_code)); }

void Process::RequestStop() {
  // Top-level windows, hidden ones included, and message-only windows, which
  // EnumWindows does not list.
  EnumWindows(PostCloseToWindow, static_cast<LPARAM>(pid_));
  HWND hwnd = nullptr;
  while ((hwnd = FindWindowExW(HWND_MESSAGE, hwnd, nullptr, nullptr)) != nullptr) {
    PostCloseToWindow(hwnd, static_cast<LPARAM>(pid_));
  }
}

std::vector<ProcessEntry> SnapshotProcesses() {
  std::vector<ProcessEntry> found;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = Process32FirstW(snap, &entry); ok; ok = Process32NextW(snap, &entry)) {
    ProcessEntry p;
    p.pid = entry.th32ProcessID;
    p.exe_name = entry.szExeFile;
    DWORD session = 0;
    p.has_session = ProcessIdToSessionId(entry.th32ProcessID, &session) != FALSE;
    p.session_id = p.has_session ? session : 0;
    found.push_back(std::move(p));
  }
  CloseHandle(snap);
  return found;
}

std::vector<uint32_t> FindProcessesByName(const std::wstring& exe_name) {
  std::vector<uint32_t> found;
  for (const ProcessEntry& p : SnapshotProcesses()) {
    if (text::EqualsIgnoreCase(p.exe_name, exe_name)) found.push_back(p.pid);
  }
  return found;
}

bool TerminateProcessById(uint32_t pid, uint32_t exit_code) {
  HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
  if (!h) return false;
  BOOL ok = TerminateProcess(h, exit_code);
  CloseHandle(h);
  return ok != FALSE;
}

uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

void ProtectStandardStreams() {}

}  // namespace vantrel::proc
