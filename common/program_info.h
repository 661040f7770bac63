// --help and --version for the three programs. They run without a command
// line otherwise, so any other argument is left alone (the programs ignore
// it); only these two print and end the program with 0.
#pragma once
#include <string>
#include <vector>

namespace vantrel {

enum class InfoSwitch { kNone, kHelp, kVersion };

// The first of --help, -h, /? or --version among `args` (without the program name).
InfoSwitch FindInfoSwitch(const std::vector<std::wstring>& args);

// "NAME 1.0.0.0\n", the suite's version.
std::string VersionText(const char* program);

// What to print for `which`: `help` or the version line; empty for kNone.
std::string InfoText(InfoSwitch which, const char* program, const char* help);

}  // namespace vantrel

namespace vantrel {

// Prints the help or the version when `args` ask for one; true then, and the
// program ends with 0. Windows GUI programs write to the standard output they
// were given, else to the console of the process that started them.
bool HandleInfoSwitch(const std::vector<std::wstring>& args, const char* program, const char* help);

// The process's arguments without the program name (Windows: from its command line).
std::vector<std::wstring> ProcessArguments();

}  // namespace vantrel
