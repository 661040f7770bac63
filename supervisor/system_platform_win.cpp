// The operating system as the supervisor uses it on Windows: process
// enumeration, the workers' start (in the service's context or in the console
// session with winlogon's token), the thread pool.
#include <windows.h>
#include <psapi.h>

#include <sys/stat.h>

#include <memory>

#include "common/process.h"
#include "supervisor/system_platform.h"

namespace vantrel::supervisor {
namespace {

constexpr wchar_t kAgentFile[] = L"VantrelSysMonitorService.exe";
constexpr wchar_t kHardwareFile[] = L"VantrelSysHardwareService.exe";

std::wstring OwnModulePath() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return L"";
  return std::wstring(path, n);
}

class WindowsPlatform : public SupervisorPlatform {
 public:
  std::wstring WorkerFileName(Worker worker) override {
    return worker == Worker::kAgent ? kAgentFile : kHardwareFile;
  }

  std::wstring WorkerPath(Worker worker) override {
    std::wstring path = OwnModulePath();
    size_t slash = path.find_last_of(L'\\');
    path = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
    return path + L"\\" + WorkerFileName(worker);
  }

  // The first 1024 process ids, each named by its first module's base name.
  bool IsProcessRunning(const std::wstring& name) override {
    DWORD ids[1024];
    DWORD needed = 0;
    if (!EnumProcesses(ids, sizeof ids, &needed)) return false;
    const DWORD count = needed / sizeof(DWORD);
    for (DWORD i = 0; i < count; ++i) {
      if (ids[i] == 0) continue;
      wchar_t candidate[MAX_PATH] = L"<unknown>";
      HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i]);
      if (process) {
        HMODULE module = nullptr;
        DWORD bytes = 0;
        if (EnumProcessModules(process, &module, sizeof module, &bytes)) {
          GetModuleBaseNameW(process, module, candidate, MAX_PATH);
        }
        CloseHandle(process);
      }
      if (name == candidate) return true;
    }
    return false;
  }

  // The workers take no arguments: no command line, only the program's path.
  bool LaunchInServiceContext(const std::wstring& path) override {
    proc::LaunchOptions options;
    options.inherit_handles = true;
    options.command_line = std::wstring();
    // The supervisor keeps no handle to its workers.
    return proc::Process::Launch(path, {}, options) != nullptr;
  }

  // In the console session with winlogon's token and the user's environment.
  bool LaunchInConsoleSession(const std::wstring& path) override {
    proc::LaunchOptions options;
    options.detached = true;
    options.console = proc::ConsoleToken::kWinlogon;
    options.command_line = std::wstring();
    return proc::Process::Launch(path, {}, options) != nullptr;
  }

  void TerminateProcessesByName(const std::wstring& name) override {
    for (const WorkerProcess& p : Snapshot(name)) proc::TerminateProcessById(p.pid, 9);
  }

  std::vector<WorkerProcess> ProcessSessions(const std::wstring& name) override { return Snapshot(name); }

  bool FileExists(const std::wstring& path) override {
    struct _stat st;
    return _wstat(path.c_str(), &st) == 0;
  }

  uint32_t QueueWorkItem(std::function<void()> work) override {
    auto* item = new std::function<void()>(std::move(work));
    if (QueueUserWorkItem(&WindowsPlatform::RunItem, item, WT_EXECUTELONGFUNCTION)) return 0;
    DWORD error = GetLastError();
    delete item;
    return error;
  }

  bool StartThread(std::function<void()> body) override {
    auto* item = new std::function<void()>(std::move(body));
    HANDLE thread = CreateThread(nullptr, 0, &WindowsPlatform::RunThread, item, 0, nullptr);
    if (!thread) {
      delete item;
      return false;
    }
    CloseHandle(thread);
    return true;
  }

 private:
  static DWORD WINAPI RunItem(void* param) {
    std::unique_ptr<std::function<void()>> item(static_cast<std::function<void()>*>(param));
    (*item)();
    return 0;
  }
  static DWORD WINAPI RunThread(void* param) { return RunItem(param); }

  // Processes whose executable name is exactly `name` (case-sensitive), with
  // their sessions (0 when unreadable).
  static std::vector<WorkerProcess> Snapshot(const std::wstring& name) {
    std::vector<WorkerProcess> out;
    for (const proc::ProcessEntry& p : proc::SnapshotProcesses()) {
      if (p.exe_name == name) out.push_back({p.pid, p.session_id});
    }
    return out;
  }
};

}  // namespace

std::unique_ptr<SupervisorPlatform> MakeSystemPlatform() { return std::make_unique<WindowsPlatform>(); }

}  // namespace vantrel::supervisor
