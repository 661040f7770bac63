#include <string>
#include <vector>

namespace vantrel::ctl {
int CtlMain(const std::vector<std::string>& words);
}

int main(int argc, char** argv) { return vantrel::ctl::CtlMain(std::vector<std::string>(argv + 1, argv + argc)); }
