// Starting programs on Windows: CreateProcessW in the caller's context, or
// CreateProcessAsUserW in the active console session with its user's
// environment block.
#include <windows.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <vector>

#include "common/process.h"
#include "common/process_win.h"
#include "common/text.h"

namespace vantrel::proc {
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

// `block` (a Unicode environment block, or null) with `env` laid over it, as a
// sorted block (names compare without case, as Windows treats them).
std::vector<wchar_t> MergedEnvironment(const wchar_t* block, const std::map<std::wstring, std::wstring>& env) {
  std::map<std::wstring, std::wstring, NoCaseLess> merged;
  for (const wchar_t* p = block; p && *p; p += wcslen(p) + 1) {
    std::wstring entry(p);
    // Entries such as "=C:=C:\dir" begin with '=': the name runs to the second '='.
    size_t eq = entry.find(L'=', 1);
    if (eq == std::wstring::npos) continue;
    merged[entry.substr(0, eq)] = entry.substr(eq + 1);
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

// The token of the session's winlogon.exe, opened for duplication; null when
// there is none.
HANDLE WinlogonToken(DWORD session) {
  DWORD winlogon = 0;
  for (const ProcessEntry& p : SnapshotProcesses()) {
    if (text::EqualsIgnoreCase(p.exe_name, L"winlogon.exe") && p.has_session && p.session_id == session) {
      winlogon = p.pid;
      break;
    }
  }
  if (winlogon == 0) return nullptr;
  HANDLE process = OpenProcess(MAXIMUM_ALLOWED, FALSE, winlogon);
  if (!process) return nullptr;
  HANDLE token = nullptr;
  if (!OpenProcessToken(process, TOKEN_DUPLICATE, &token)) token = nullptr;
  CloseHandle(process);
  return token;
}

// The primary token and environment block for a start in the active console
// session. The block is the user's even when the token is winlogon's.
struct ConsoleContext {
  HANDLE primary = nullptr;
  void* environment = nullptr;
  ~ConsoleContext() {
    if (environment) DestroyEnvironmentBlock(environment);
    if (primary) CloseHandle(primary);
  }
};

DWORD OpenConsoleContext(ConsoleToken which, ConsoleContext& ctx) {
  const DWORD session = WTSGetActiveConsoleSessionId();
  HANDLE user_token = nullptr;
  if (!WTSQueryUserToken(session, &user_token)) return GetLastError();
  // Without a block the program gets the service's environment.
  if (!CreateEnvironmentBlock(&ctx.environment, user_token, TRUE)) ctx.environment = nullptr;
  DWORD error = ERROR_SUCCESS;
  if (which == ConsoleToken::kUser) {
    if (!DuplicateTokenEx(user_token, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary, &ctx.primary)) {
      error = GetLastError();
    }
  } else {
    HANDLE winlogon = WinlogonToken(session);
    if (!winlogon) {
      error = ERROR_NOT_FOUND;
    } else {
      if (!DuplicateTokenEx(winlogon, MAXIMUM_ALLOWED, nullptr, SecurityIdentification, TokenPrimary,
                            &ctx.primary)) {
        error = GetLastError();
      }
      CloseHandle(winlogon);
    }
  }
  CloseHandle(user_token);
  return error;
}

}  // namespace

DWORD CreateWith(const std::wstring& exe, const std::vector<std::wstring>& args, const LaunchOptions& options,
                 HANDLE stdout_handle, PROCESS_INFORMATION* pi) {
  std::wstring cmd;
  if (options.command_line) {
    cmd = *options.command_line;
  } else {
    AppendQuoted(cmd, exe);
    for (const auto& a : args) {
      cmd += L' ';
      AppendQuoted(cmd, a);
    }
  }
  // CreateProcess may write into the command line: it gets a copy.
  std::vector<wchar_t> cmd_buf(cmd.begin(), cmd.end());
  cmd_buf.push_back(L'\0');
  wchar_t* command_line = cmd.empty() ? nullptr : cmd_buf.data();
  const wchar_t* application = exe.empty() ? nullptr : exe.c_str();

  STARTUPINFOW si{};
  si.cb = sizeof si;
  const BOOL inherit = options.inherit_handles || stdout_handle != nullptr;
  if (stdout_handle) {
    si.dwFlags |= STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = stdout_handle;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  }

  if (options.console == ConsoleToken::kNone) {
    std::vector<wchar_t> env_block;
    DWORD flags = 0;
    if (!options.env.empty()) {
      wchar_t* own = GetEnvironmentStringsW();
      env_block = MergedEnvironment(own, options.env);
      if (own) FreeEnvironmentStringsW(own);
      flags |= CREATE_UNICODE_ENVIRONMENT;
    }
    if (!CreateProcessW(application, command_line, nullptr, nullptr, inherit, flags,
                        env_block.empty() ? nullptr : env_block.data(), nullptr, &si, pi)) {
      return GetLastError();
    }
    return ERROR_SUCCESS;
  }

  ConsoleContext ctx;
  if (DWORD error = OpenConsoleContext(options.console, ctx); error != ERROR_SUCCESS) return error;
  DWORD flags = CREATE_NO_WINDOW | CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS;
  void* environment = ctx.environment;
  std::vector<wchar_t> env_block;
  if (!options.env.empty()) {
    env_block = MergedEnvironment(static_cast<const wchar_t*>(ctx.environment), options.env);
    environment = env_block.data();
  }
  if (environment) flags |= CREATE_UNICODE_ENVIRONMENT;
  wchar_t desktop[] = L"winsta0\\default";
  si.lpDesktop = desktop;
  if (!CreateProcessAsUserW(ctx.primary, application, command_line, nullptr, nullptr, inherit, flags, environment,
                            nullptr, &si, pi)) {
    return GetLastError();
  }
  return ERROR_SUCCESS;
}

// Detached needs nothing more here: no process is reaped on Windows, and the
// handle only lets the object wait for it.
std::unique_ptr<Process> Process::Launch(const std::wstring& exe, const std::vector<std::wstring>& args,
                                         const LaunchOptions& options, uint32_t* error) {
  PROCESS_INFORMATION pi{};
  const DWORD rc = CreateWith(exe, args, options, nullptr, &pi);
  if (rc != ERROR_SUCCESS) {
    if (error) *error = rc;
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

}  // namespace vantrel::proc
