#include "agent/agent_frame.h"
#include "common/process.h"
#include "common/program_info.h"
#include "common/text.h"

int main(int argc, char** argv) {
  vantrel::proc::ProtectStandardStreams();
  using namespace vantrel::agent;
  std::vector<std::wstring> args;
  for (int i = 1; i < argc; ++i) args.push_back(vantrel::text::FromUtf8(argv[i]));
  if (vantrel::HandleInfoSwitch(args, kAgentProgram, kAgentHelp)) return 0;
  return RunAgent(kAgentTitle, kAgentClass, nullptr);
}
