#include <langinfo.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "common/paths.h"
#include "tools/terminal.h"

namespace vantrel::ctl {

bool StdoutIsAnsiTerminal() {
  if (isatty(STDOUT_FILENO) != 1) return false;
  const char* term = std::getenv("TERM");
  return term != nullptr && std::strcmp(term, "dumb") != 0;
}

bool OutputSpeaksUtf8() {
  std::setlocale(LC_CTYPE, "");
  const char* codeset = nl_langinfo(CODESET);
  const bool utf8 = codeset != nullptr && (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0);
  std::setlocale(LC_CTYPE, "C");  // number formatting and the rest stay as before
  return utf8;
}

std::optional<double> SystemMaxCpuClockMhz() {
  std::ifstream in(paths::SysPath("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq"));
  long long khz = 0;
  if (in >> khz && khz > 0) return static_cast<double>(khz) / 1000.0;
  // Without cpufreq (virtual machines) the processor's "cpu MHz" is its rated
  // clock, which the agent takes as the maximum too.
  std::ifstream cpuinfo(paths::SysPath("/proc/cpuinfo"));
  std::string line;
  double best = 0;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("cpu MHz", 0) != 0) continue;
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    try {
      best = std::max(best, std::stod(line.substr(colon + 1)));
    } catch (...) {
    }
  }
  if (best > 0) return best;
  return std::nullopt;
}

}  // namespace vantrel::ctl
