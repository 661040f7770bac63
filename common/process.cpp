// The portable part of the process API.
#include "common/process.h"

namespace vantrel::proc {

std::unique_ptr<Process> Process::Start(const std::wstring& exe, const std::vector<std::wstring>& args,
                                        const std::map<std::wstring, std::wstring>& env, uint32_t* error) {
  LaunchOptions options;
  options.env = env;
  return Launch(exe, args, options, error);
}

}  // namespace vantrel::proc
