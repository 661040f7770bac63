// vantrelctl's hw commands against the real hardware service: every command
// family round-trips, readable and --json output, and the exit status.
#include <gtest/gtest.h>

#include <cstdio>

#include "common/pipe_message.h"
#include "common/win32_errors.h"
#include "tests/e2e/hardware/service_fixture.h"

namespace {

using namespace vantrel;
namespace vt = vantrel::testing;

struct CtlRun {
  int status;
  std::string out;
};

// Runs vantrelctl through the shell with the test's environment; stdout only.
CtlRun Ctl(const std::string& arguments) {
  const std::string program = text::ToUtf8(vt::ProgramPath(L"vantrelctl"));
#ifdef _WIN32
  const std::string command = "\"\"" + program + "\" " + arguments + " 2>NUL\"";
  FILE* pipe = _popen(command.c_str(), "r");
#else
  const std::string command = "'" + program + "' " + arguments + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
#endif
  CtlRun run{-1, ""};
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
#ifdef _WIN32
  run.status = _pclose(pipe);
#else
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
  return run;
}

class VantrelctlHw : public vt::HardwareServiceFixture {
 protected:
  // The test key in the form the shell passes through unchanged.
  std::string Key() const { return "\"" + text::ToUtf8(test_key_) + "\""; }
};

TEST_F(VantrelctlHw, DumpAndRaw) {
  CtlRun r = Ctl("hw dump 010203 ff");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Number of arguments: 2"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("arg0 size: 3, content: 01 02 03 "), std::string::npos) << r.out;

  r = Ctl("--json hw raw 0 aabb");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\"ok\" : true"), std::string::npos) << r.out;

  // Silent slots succeed without a reply; a number past the table fails.
  r = Ctl("hw raw 38");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("no reply"), std::string::npos) << r.out;
  r = Ctl("hw raw 39 01");
  EXPECT_EQ(r.status, 1);
  r = Ctl("hw raw nonsense");
  EXPECT_EQ(r.status, 2);
}

TEST_F(VantrelctlHw, RegistryFamilyRoundTrips) {
  EXPECT_EQ(Ctl("hw reg create " + Key()).status, 0);
  CtlRun r = Ctl("hw reg set " + Key() + " level dword 42");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("done"), std::string::npos) << r.out;

  r = Ctl("--json hw reg get " + Key() + " level dword 4");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\"dword\" : 42"), std::string::npos) << r.out;

  r = Ctl("hw reg update " + Key() + " level dword 7");
  EXPECT_EQ(r.status, 0);
  r = Ctl("hw reg get " + Key() + " level");
  EXPECT_EQ(r.out, "REG_DWORD 7 (0x00000007)\n");

  // A failure result is a failure: exit 1, and nothing on standard output.
  r = Ctl("hw reg update " + Key() + " nothing dword 7");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");

  // Values are decoded by their type, whatever their length.
  Ctl("hw reg set " + Key() + " name sz hello");
  r = Ctl("--json hw reg get " + Key() + " name sz 64");
  EXPECT_NE(r.out.find("\"string\" : \"hello\""), std::string::npos) << r.out;
  Ctl("hw reg set " + Key() + " backend sz sim");  // 8 bytes, once shown as a QWORD
  r = Ctl("hw reg get " + Key() + " backend");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "REG_SZ sim\n");
  Ctl("hw reg set " + Key() + " big qword 0x1122334455667788");
  EXPECT_EQ(Ctl("hw reg get " + Key() + " big").out, "REG_QWORD 1234605616436508552 (0x1122334455667788)\n");
  Ctl("hw reg set " + Key() + " list multi_sz \"a|bc\"");
  EXPECT_EQ(Ctl("hw reg get " + Key() + " list").out, "REG_MULTI_SZ a|bc\n");
  Ctl("hw reg set " + Key() + " blob binary 00ff");
  EXPECT_EQ(Ctl("hw reg get " + Key() + " blob").out, "REG_BINARY 00 ff\n");

  // The default is written for a missing value.
  r = Ctl("hw reg get " + Key() + " fresh dword 4 9");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "REG_DWORD 9 (0x00000009)\n");

  // A missing value: "not found", exit 1; with --json the error is JSON on stdout.
  EXPECT_EQ(Ctl("hw reg delete " + Key() + " name").status, 0);
  r = Ctl("hw reg get " + Key() + " name");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  r = Ctl("--json hw reg get " + Key() + " name");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\"ok\" : false"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("not found"), std::string::npos) << r.out;
  EXPECT_EQ(Ctl("hw reg delete-tree " + Key()).status, 0);
  r = Ctl("hw reg get " + Key() + " level --json");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("not found"), std::string::npos) << r.out;

  EXPECT_EQ(Ctl("hw reg set " + Key() + " x dword notanumber").status, 2);
}

TEST_F(VantrelctlHw, FirmwareAndGpuFamiliesReply) {
  // Whatever the machine has, each command answers in its layout; a failure
  // value ends with 1.
  CtlRun r = Ctl("--json hw fw GetGamingFanTable 0");
  EXPECT_NE(r.out.find("\"command\" : 18"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"value\""), std::string::npos) << r.out;
  EXPECT_EQ(r.status, r.out.find("18446744073709551615") != std::string::npos ? 1 : 0) << r.out;
  r = Ctl("--json hw fw 13 5");
  EXPECT_NE(r.out.find("kSvcCmdWMISetGamingFanGroupBehavior"), std::string::npos) << r.out;
  EXPECT_EQ(r.status, r.out.find("4294967295") != std::string::npos ? 1 : 0) << r.out;
  EXPECT_EQ(Ctl("hw fw kSvcCmdGPUGetCount 0").status, 2) << "not a firmware command";

  for (const char* query : {"count", "idle", "freq 0", "maxfreq 0", "usage 1"}) {
    r = Ctl(std::string("--json hw gpu ") + query);
    EXPECT_NE(r.out.find("\"value\""), std::string::npos) << query << ": " << r.out;
    const bool failure = r.out.find("4294967295") != std::string::npos || r.out.find("\"value\" : -1") != std::string::npos;
    EXPECT_EQ(r.status, failure ? 1 : 0) << query << ": " << r.out;
  }
  EXPECT_EQ(Ctl("hw gpu warp").status, 2);
}

TEST_F(VantrelctlHw, NoServerIsAClearFailure) {
  process_->Kill();
  process_->Wait(std::chrono::seconds(10));
  process_.reset();
  CtlRun r = Ctl("--json hw dump");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\"ok\" : false"), std::string::npos) << r.out;
}

}  // namespace
