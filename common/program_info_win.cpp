#include <windows.h>
#include <shellapi.h>

#include "common/program_info.h"

namespace vantrel {
namespace info_detail {

void WriteStdout(const std::string& text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written = 0;
  if (out != nullptr && out != INVALID_HANDLE_VALUE &&
      WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
    return;
  }
  // A GUI program started from a console gets no standard handles.
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
  HANDLE console = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (console == INVALID_HANDLE_VALUE) return;
  WriteFile(console, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(console);
}

}  // namespace info_detail

std::vector<std::wstring> ProcessArguments() {
  std::vector<std::wstring> args;
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr) return args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  LocalFree(argv);
  return args;
}

}  // namespace vantrel
