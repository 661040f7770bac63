// Processes on Windows: CreateProcessW with a merged environment block,
// Toolhelp enumeration, TerminateProcess, WM_CLOSE to the process's windows.
#include "common/process.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cwctype>

#include "common/text.h"

namespace vantrel::proc {

struct Process::Impl {
  HANDLE process = nullptr;
};

namespace {

// One argument quoted so that CommandLineToArgvW / the CRT give it back unchanged.
void AppendQuoted(std::wstring& cmd, const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    cmd += arg;
    return;
  }
  cmd += L'"';
  for (auto it = arg.begin();; ++it) {
    size_t backslashes = 0;
    while (it != arg.end() && *it == L'\\') {
      ++it;
      ++backslashes;
    }
    if (it == arg.end()) {
      cmd.append(backslashes * 2, L'\\');
      break;
    }
    if (*it == L'"') {
      cmd.append(backslashes * 2 + 1, L'\\');
    } else {
      cmd.append(backslashes, L'\\');
    }
    cmd += *it;
  }
  cmd += L'"';
}

struct NoCaseLess {
  bool operator()(const std::wstring& a, const std::wstring& b) const {
    return text::ToLower(a) < text::ToLower(b);
  }
};

// The current environment with `env` laid over it, as a sorted Unicode block
// (names compare without case, as Windows treats them).
std::vector<wchar_t> MergedEnvironment(const std::map<std::wstring, std::wstring>& env) {
  std::map<std::wstring, std::wstring, NoCaseLess> merged;
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* p = block; *p; p += wcslen(p) + 1) {
      std::wstring entry(p);
      // Entries such as "=C:=C:\dir" begin with '=': the name runs to the second '='.
      size_t eq = entry.find(L'=', 1);
      if (eq == std::wstring::npos) continue;
      merged[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    FreeEnvironmentStringsW(block);
  }
  for (const auto& [k, v] : env) merged[k] = v;
  std::vector<wchar_t> out;
  for (const auto& [k, v] : merged) {
    out.insert(out.end(), k.begin(), k.end());
    out.push_back(L'=');
    out.insert(out.end(), v.begin(), v.end());
    out.push_back(L'\0');
  }
  if (out.empty()) out.push_back(L'\0');
  out.push_back(L'\0');
  return out;
}

BOOL CALLBACK PostCloseToWindow(HWND hwnd, LPARAM lparam) {
  DWORD owner = 0;
  GetWindowThreadProcessId(hwnd, &owner);
  if (owner == static_cast<DWORD>(lparam)) PostMessageW(hwnd, WM_CLOSE, 0, 0);
  return TRUE;
}

}  // namespace

std::unique_ptr<Process> Process::Start(const std::wstring& exe, const std::vector<std::wstring>& args,
                                        const std::map<std::wstring, std::wstring>& env, uint32_t* error) {
  std::wstring cmd;
  AppendQuoted(cmd, exe);
  for (const auto& a : args) {
    cmd += L' ';
    AppendQuoted(cmd, a);
  }
  std::vector<wchar_t> cmd_buf(cmd.begin(), cmd.end());
  cmd_buf.push_back(L'\0');

  std::vector<wchar_t> env_block;
  DWORD flags = 0;
  if (!env.empty()) {
    env_block = MergedEnvironment(env);
    flags |= CREATE_UNICODE_ENVIRONMENT;
  }

  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  // No handle inheritance: the child gets nothing of ours by accident.
  if (!CreateProcessW(exe.c_str(), cmd_buf.data(), nullptr, nullptr, FALSE, flags,
                      env_block.empty() ? nullptr : env_block.data(), nullptr, &si, &pi)) {
    if (error) *error = GetLastError();
    return nullptr;
  }
  CloseHandle(pi.hThread);
  std::unique_ptr<Process> p(new Process());
  p->pid_ = pi.dwProcessId;
  p->impl_ = std::make_unique<Impl>();
  p->impl_->process = pi.hProcess;
  if (error) *error = 0;
  return p;
}

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

std::vector<uint32_t> FindProcessesByName(const std::wstring& exe_name) {
  std::vector<uint32_t> found;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = Process32FirstW(snap, &entry); ok; ok = Process32NextW(snap, &entry)) {
    if (text::EqualsIgnoreCase(entry.szExeFile, exe_name)) found.push_back(entry.th32ProcessID);
  }
  CloseHandle(snap);
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
