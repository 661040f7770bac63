// Windows specifics of the pipe transport: instance parameters, security and
// the client's wait on a busy pipe.
#include <windows.h>
#include <aclapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/pipe_transport.h"
#include "common/win32_errors.h"
#include "tests/support/test_env.h"

namespace vantrel::pipe {
namespace {

using namespace std::chrono_literals;

class RunningServer {
 public:
  explicit RunningServer(const std::wstring& name) : server_(name, {dump_arguments}) {
    runner_ = std::thread([this] { server_.Run(); });
    EXPECT_TRUE(testing::WaitFor([&] { return PipeClient(name).Connect() == 0; }, 10s));
  }
  ~RunningServer() {
    server_.Stop();
    runner_.join();
  }

 private:
  PipeServer server_;
  std::thread runner_;
};

// A plain client handle; waits while the server is between two instances.
HANDLE OpenClientEnd(const std::wstring& name) {
  const std::wstring full = L"\\\\.\\pipe\\" + name;
  for (;;) {
    HANDLE h = CreateFileW(full.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY) return h;
    if (!WaitNamedPipeW(full.c_str(), 5000)) return INVALID_HANDLE_VALUE;
  }
}

TEST(PipeInstance, MessageModeWithTheFixedParameters) {
  const std::wstring name = testing::UniqueName(L"vt_inst_");
  RunningServer server(name);
  HANDLE h = OpenClientEnd(name);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  DWORD flags = 0, out_size = 0, in_size = 0, max_instances = 0;
  ASSERT_TRUE(GetNamedPipeInfo(h, &flags, &out_size, &in_size, &max_instances));
  EXPECT_TRUE(flags & PIPE_TYPE_MESSAGE);
  // Unlimited instances read back as 255 or, through Wine's NT layer, as ~0.
  EXPECT_TRUE(max_instances == PIPE_UNLIMITED_INSTANCES || max_instances == 0xFFFFFFFFu) << max_instances;
  CloseHandle(h);
}

TEST(PipeInstance, DaclFromTheSddlString) {
  const std::wstring name = testing::UniqueName(L"vt_sec_");
  RunningServer server(name);
  HANDLE h = OpenClientEnd(name);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_EQ(GetSecurityInfo(h, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd),
            static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_NE(dacl, nullptr);
  // Guests allowed, anonymous denied (second), authenticated users and administrators allowed.
  const struct {
    BYTE type;
    WELL_KNOWN_SID_TYPE sid;
  } want[] = {{ACCESS_ALLOWED_ACE_TYPE, WinBuiltinGuestsSid},
              {ACCESS_DENIED_ACE_TYPE, WinAnonymousSid},
              {ACCESS_ALLOWED_ACE_TYPE, WinAuthenticatedUserSid},
              {ACCESS_ALLOWED_ACE_TYPE, WinBuiltinAdministratorsSid}};
  ASSERT_EQ(dacl->AceCount, 4);
  for (DWORD i = 0; i < 4; ++i) {
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, &ace));
    auto* header = static_cast<ACE_HEADER*>(ace);
    EXPECT_EQ(header->AceType, want[i].type) << i;
    // Allowed and denied ACEs share the layout: mask, then the SID.
    PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
    EXPECT_TRUE(IsWellKnownSid(sid, want[i].sid)) << i;
  }
  LocalFree(sd);
  CloseHandle(h);
}

TEST(PipeInstance, ClientWaitsWhileEveryInstanceIsBusy) {
  const std::wstring name = testing::UniqueName(L"vt_busy_");
  const std::wstring full = L"\\\\.\\pipe\\" + name;
  // A hand-made pipe with a single instance, held by a first client.
  HANDLE inst = CreateNamedPipeW(full.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 512,
                                 512, 1000, nullptr);
  ASSERT_NE(inst, INVALID_HANDLE_VALUE);
  PipeClient first(name);
  ASSERT_EQ(first.Connect(), 0u);

  std::atomic<bool> done{false};
  std::atomic<uint32_t> result{99};
  std::thread second([&] {
    PipeClient c(name);
    result = c.Connect();
    if (result == 0) {
      const uint8_t hello[] = {1, 2, 3};
      result = c.Write(hello);
    }
    done = true;
  });
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(done.load()) << "the second client did not wait";

  // Free the instance: the waiting client gets it.
  first.Close();
  DisconnectNamedPipe(inst);
  const BOOL ok = ConnectNamedPipe(inst, nullptr);
  EXPECT_TRUE(ok || GetLastError() == ERROR_PIPE_CONNECTED);
  uint8_t buf[16];
  DWORD n = 0;
  EXPECT_TRUE(ReadFile(inst, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 3u);
  second.join();
  EXPECT_EQ(result.load(), 0u);
  CloseHandle(inst);
}

}  // namespace
}  // namespace vantrel::pipe
