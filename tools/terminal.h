// What vantrelctl needs to know about where its output goes and about the
// machine it runs on (the agent only listens on loopback, so that is the
// agent's machine too).
#pragma once
#include <optional>

namespace vantrel::ctl {

// Standard output is a terminal that takes ANSI cursor movement (on Windows
// after switching the console to virtual-terminal processing).
bool StdoutIsAnsiTerminal();
// The locale's character set is UTF-8 (block characters can be drawn).
bool OutputSpeaksUtf8();
// The processor's highest clock in MHz as the system reports it; nullopt when
// it does not (virtual machines often have no cpufreq).
std::optional<double> SystemMaxCpuClockMhz();

}  // namespace vantrel::ctl
