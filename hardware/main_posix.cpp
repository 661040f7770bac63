#include "common/program_info.h"
#include "common/text.h"
#include "common/process.h"
#include "hardware/service_frame.h"

namespace vantrel::hw {

std::wstring LoadResourceString(uint16_t, const wchar_t* fallback) { return fallback; }

}  // namespace vantrel::hw

int main(int argc, char** argv) {
  vantrel::proc::ProtectStandardStreams();
  std::vector<std::wstring> args;
  for (int i = 1; i < argc; ++i) args.push_back(vantrel::text::FromUtf8(argv[i]));
  if (vantrel::HandleInfoSwitch(args, vantrel::hw::kProgramName, vantrel::hw::kHelpText)) return 0;
  return vantrel::hw::RunHardwareService(nullptr);
}
