#include <string>
#include <vector>

#include "supervisor/program.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> args;
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  return vantrel::supervisor::ProgramMain(args);
}
