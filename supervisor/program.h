// The supervisor program as a whole.
#pragma once
#include <string>
#include <vector>

namespace vantrel::supervisor {

// The whole program: switches, usage text, service run. Always 0.
int ProgramMain(const std::vector<std::wstring>& args);

}  // namespace vantrel::supervisor
