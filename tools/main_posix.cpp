#include <string>
#include <vector>

#include "common/process.h"

namespace vantrel::ctl {
int CtlMain(const std::vector<std::string>& words);
}

int main(int argc, char** argv) {
  // A reader that went away (vantrelctl events | head -1) shows as a failed
  // write, which ends the watching loops.
  vantrel::proc::ProtectStandardStreams();
  return vantrel::ctl::CtlMain(std::vector<std::string>(argv + 1, argv + argc));
}
