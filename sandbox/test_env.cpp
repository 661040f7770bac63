#include "sandbox/test_env.h"

#include <cstdlib>
#include <thread>

#include "common/text.h"

namespace vantrel::testing {

std::string SourceDir() {
  const char* dir = std::getenv("VANTREL_SOURCE_DIR");
  return dir != nullptr ? dir : ".";
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace vantrel::testing
