#include <windows.h>
#include <powrprof.h>

#include <vector>

#include "tools/terminal.h"

namespace vantrel::ctl {

bool StdoutIsAnsiTerminal() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return false;
  return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

bool OutputSpeaksUtf8() { return GetConsoleOutputCP() == CP_UTF8; }

namespace {
// PROCESSOR_POWER_INFORMATION, which MinGW's headers leave out.
struct ProcessorPower {
  ULONG Number;
  ULONG MaxMhz;
  ULONG CurrentMhz;
  ULONG MhzLimit;
  ULONG MaxIdleState;
  ULONG CurrentIdleState;
};
}  // namespace

std::optional<double> SystemMaxCpuClockMhz() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  std::vector<ProcessorPower> power(info.dwNumberOfProcessors == 0 ? 1 : info.dwNumberOfProcessors);
  const ULONG bytes = static_cast<ULONG>(power.size() * sizeof(ProcessorPower));
  if (CallNtPowerInformation(ProcessorInformation, nullptr, 0, power.data(), bytes) != 0) return std::nullopt;
  if (power[0].MaxMhz == 0) return std::nullopt;
  return static_cast<double>(power[0].MaxMhz);
}

}  // namespace vantrel::ctl
