// Endpoint names and the portable path helpers, driven through the environment.
#include <gtest/gtest.h>

#include "common/names.h"
#include "common/paths.h"
#include "tests/support/test_env.h"

namespace vantrel {
namespace {

using testing::ScopedEnvVar;

TEST(Names, InstanceSuffixIsAppendedOnlyWhenSet) {
  {
    ScopedEnvVar unset("VANTREL_INSTANCE", std::nullopt);
    EXPECT_EQ(names::Instance(names::kHardwarePipe), L"tavrix_hardware_service_");
  }
  ScopedEnvVar set("VANTREL_INSTANCE", "t42");
  EXPECT_EQ(names::Instance(names::kAgentPipe), L"tavrix_agent_service_t42");
}

TEST(Names, AgentPortAcceptsOnlyAValidPortNumber) {
  const struct {
    const char* value;
    uint16_t port;
  } cases[] = {{"50001", 50001}, {"1", 1},         {"65535", 65535}, {"0", 46753},   {"65536", 46753},
               {"99999999999", 46753}, {"-5", 46753}, {"12ab", 46753},  {" 80", 46753}, {"", 46753}};
  for (const auto& c : cases) {
    ScopedEnvVar port("VANTREL_AGENT_PORT", c.value);
    EXPECT_EQ(names::AgentPort(), c.port) << "VANTREL_AGENT_PORT=" << c.value;
  }
  ScopedEnvVar unset("VANTREL_AGENT_PORT", std::nullopt);
  EXPECT_EQ(names::AgentPort(), 46753);
}

TEST(Paths, SysRootDefaultsToSlashAndLosesTrailingSlashes) {
  {
    ScopedEnvVar unset("VANTREL_SYSROOT", std::nullopt);
    EXPECT_EQ(paths::SysRoot(), "/");
    EXPECT_EQ(paths::SysPath("/proc/stat"), "/proc/stat");
  }
  ScopedEnvVar root("VANTREL_SYSROOT", "/tmp/fixture//");
  EXPECT_EQ(paths::SysRoot(), "/tmp/fixture");
  EXPECT_EQ(paths::SysPath("/sys/class/net"), "/tmp/fixture/sys/class/net");
  EXPECT_EQ(paths::SysPath("proc/meminfo"), "/tmp/fixture/proc/meminfo");
}

}  // namespace
}  // namespace vantrel
