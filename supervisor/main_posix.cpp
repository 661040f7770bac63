#include <string>
#include <vector>

#include "common/process.h"
#include "common/text.h"
#include "supervisor/program.h"

int main(int argc, char** argv) {
  vantrel::proc::ProtectStandardStreams();
  std::vector<std::wstring> args;
  for (int i = 1; i < argc; ++i) args.push_back(vantrel::text::FromUtf8(argv[i]));
  return vantrel::supervisor::ProgramMain(args);
}
