#include <cstdio>

#include "common/program_info.h"

namespace vantrel {
namespace info_detail {

void WriteStdout(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace info_detail

// Linux entry points pass argv themselves.
std::vector<std::wstring> ProcessArguments() { return {}; }

}  // namespace vantrel
