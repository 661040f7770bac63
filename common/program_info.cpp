#include "common/program_info.h"

namespace vantrel::info_detail {
void WriteStdout(const std::string& text);  // the platform halves
}

namespace vantrel {

InfoSwitch FindInfoSwitch(const std::vector<std::wstring>& args) {
  for (const std::wstring& a : args) {
    if (a == L"--help" || a == L"-h" || a == L"/?") return InfoSwitch::kHelp;
    if (a == L"--version") return InfoSwitch::kVersion;
  }
  return InfoSwitch::kNone;
}

std::string VersionText(const char* program) { return std::string(program) + " " VANTREL_VERSION_STRING "\n"; }

std::string InfoText(InfoSwitch which, const char* program, const char* help) {
  switch (which) {
    case InfoSwitch::kHelp: return help;
    case InfoSwitch::kVersion: return VersionText(program);
    case InfoSwitch::kNone: break;
  }
  return "";
}

}  // namespace vantrel

namespace vantrel {

bool HandleInfoSwitch(const std::vector<std::wstring>& args, const char* program, const char* help) {
  const std::string text = InfoText(FindInfoSwitch(args), program, help);
  if (text.empty()) return false;
  info_detail::WriteStdout(text);
  return true;
}

}  // namespace vantrel
