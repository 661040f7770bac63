#include "supervisor/command_line.h"

#include "common/program_info.h"
#include "common/text.h"

namespace vantrel::supervisor {

CommandAction ParseCommandLine(const std::vector<std::wstring>& args) {
  if (args.empty() || args[0].empty() || (args[0][0] != L'-' && args[0][0] != L'/')) {
    return CommandAction::kRunService;
  }
  const InfoSwitch info = FindInfoSwitch({args[0]});
  if (info == InfoSwitch::kHelp) return CommandAction::kHelp;
  if (info == InfoSwitch::kVersion) return CommandAction::kVersion;
  const std::wstring_view word = std::wstring_view(args[0]).substr(1);
  if (text::EqualsIgnoreCase(word, L"install")) return CommandAction::kInstall;
  if (text::EqualsIgnoreCase(word, L"uninstall")) return CommandAction::kUninstall;
  return CommandAction::kIgnore;
}

}  // namespace vantrel::supervisor
