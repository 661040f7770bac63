#include <string>
#include <vector>

#include "common/text.h"

namespace vantrel::ctl {
int CtlMain(const std::vector<std::string>& words);
}

// Wide arguments, so key paths and values keep characters outside the ANSI code page.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) words.push_back(vantrel::text::ToUtf8(argv[i]));
  return vantrel::ctl::CtlMain(words);
}
