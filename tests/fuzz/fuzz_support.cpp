#include "tests/fuzz/fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/support/test_env.h"

namespace vantrel::fuzz {

const std::string& PrivateDirs() {
  // In memory where the machine has it: the store's commits then cost no disk
  // writes, and a campaign runs many times faster.
  if (std::getenv("TMPDIR") == nullptr && access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
  // Removed by static destruction when libFuzzer exits at the end of its time.
  static const testing::ScopedTestEnv env;
  return env.root();
}

void SilenceStdout() {
  std::fflush(stdout);
  const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (fd >= 0) {
    dup2(fd, STDOUT_FILENO);
    close(fd);
  }
}

}  // namespace vantrel::fuzz
