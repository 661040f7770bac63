// The real hardware service over its real pipe: connection behaviour of the
// command slots, the registry commands' rules, argument shapes, and the
// single-instance guard.
#include <gtest/gtest.h>

#include <cwctype>
#include <filesystem>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "common/hardware_commands.h"
#include "common/pipe_message.h"
#include "common/win32_errors.h"
#include "tests/e2e/hardware/service_fixture.h"

namespace {

using namespace vantrel;
namespace vt = vantrel::testing;
using Bytes = std::vector<uint8_t>;
using Fixture = vantrel::testing::HardwareServiceFixture;

Bytes Str(const std::wstring& s) { return text::ToUtf16LeZ(s); }
Bytes U32(uint32_t v) { return pipe::U32Bytes(v); }

std::vector<pipe::PipeArg> Args(const std::vector<Bytes>& args) {
  std::vector<pipe::PipeArg> out;
  for (const auto& a : args) out.push_back({static_cast<uint32_t>(a.size()), a.data()});
  return out;
}

// A connected client for several requests on one connection.
struct Connection {
  Connection() : client(Fixture::PipeName()) { EXPECT_EQ(client.Connect(), 0u); }
  uint32_t Send(uint16_t command, const std::vector<Bytes>& args) {
    return pipe::send_pipe_message(client, command, Args(args));
  }
  // The next reply's arguments; nullopt when the read fails.
  std::optional<std::vector<Bytes>> Read() {
    Bytes reply;
    if (client.ReadMessage(&reply) != 0) return std::nullopt;
    auto parsed = pipe::ParseReply(reply);
    if (!parsed) return std::nullopt;
    std::vector<Bytes> out;
    for (const auto& a : *parsed) out.emplace_back(a.begin(), a.end());
    return out;
  }
  pipe::PipeClient client;
};

// One transaction on a fresh connection.
std::vector<Bytes> Transact(uint16_t command, const std::vector<Bytes>& args) {
  Connection c;
  EXPECT_EQ(c.Send(command, args), 0u);
  auto reply = c.Read();
  EXPECT_TRUE(reply.has_value()) << "command " << command;
  return reply.value_or(std::vector<Bytes>{});
}

uint32_t Result(const std::vector<Bytes>& reply) {
  if (reply.empty() || reply[0].size() != 4) return 0xDEADBEEF;
  return pipe::ReadU32Le(reply[0].data());
}

std::string DumpText(const std::vector<Bytes>& reply) {
  return reply.empty() ? "" : text::ToUtf8(text::FromUtf16LeLenient(reply[0]));
}

class HardwareService : public Fixture {};

TEST_F(HardwareService, ConnectionBehaviourOfTheSlots) {
  {
    // 39 is past the table: the connection ends without a reply.
    Connection c;
    ASSERT_EQ(c.Send(39, {U32(1)}), 0u);
    EXPECT_FALSE(c.Read().has_value());
  }
  {
    // 38 logs its name and answers nothing; the same connection serves a dump next.
    Connection c;
    ASSERT_EQ(c.Send(velmont::kSvcCmdGetBIOSLogo, {}), 0u);
    ASSERT_EQ(c.Send(velmont::kSvcCmdDumpArguments, {Bytes{0xAB}}), 0u);
    auto reply = c.Read();
    ASSERT_TRUE(reply.has_value());
    EXPECT_NE(DumpText(*reply).find("content: ab"), std::string::npos);
  }
  ASSERT_TRUE(vt::WaitFor([&] { return LogText().find("get_bios_logo") != std::string::npos; },
                               std::chrono::seconds(5)));
  EXPECT_NE(LogText().find("| velmont::VmClientCommandProcessor::get_bios_logo | kSvcCmdGetBIOSLogo\r\n"),
            std::string::npos);
  {
    // 28 writes nothing at all: no reply and no log line.
    const std::string before = LogText();
    Connection c;
    ASSERT_EQ(c.Send(28, {U32(7)}), 0u);
    ASSERT_EQ(c.Send(velmont::kSvcCmdDumpArguments, {}), 0u);
    auto reply = c.Read();
    ASSERT_TRUE(reply.has_value());
    EXPECT_NE(DumpText(*reply).find("Number of arguments: 0"), std::string::npos);
    EXPECT_EQ(LogText(), before);
  }
  // The start-up lines of the frame.
  EXPECT_NE(LogText().find("| VantrelSysHardwareService | wWinMain | VantrelHardwareService, BEGIN\r\n"),
            std::string::npos);
  EXPECT_NE(LogText().find("| WindowsMessageLoop::WindowsCreate | WindowsCreate, BEGIN\r\n"), std::string::npos);
}

TEST_F(HardwareService, RegistryCommandRules) {
  std::wstring lower = test_key_;
  for (size_t i = 0; i < std::wstring(L"HKEY_CURRENT_USER").size(); ++i) lower[i] = static_cast<wchar_t>(towlower(lower[i]));
  EXPECT_EQ(Result(Transact(velmont::kSvcCmdRegCreateKey, {Str(lower)})), 0u);
  EXPECT_EQ(Result(Transact(velmont::kSvcCmdRegGetValue, {Str(test_key_), Str(L""), U32(0xFFFF), U32(64)})), win32::kErrorFileNotFound)
      << "the key exists but has no default value";
  const std::wstring sub = test_key_.substr(test_key_.find(L'\\') + 1);
  EXPECT_EQ(Result(Transact(velmont::kSvcCmdRegCreateKey, {Str(L"HKLM\\" + sub)})), win32::kErrorFileNotFound);
  // A bare root is outside the commands' reach.
  EXPECT_EQ(Result(Transact(velmont::kSvcCmdRegCreateKey, {Str(L"HKEY_CURRENT_USER")})), win32::kErrorAccessDenied);
  EXPECT_EQ(Result(Transact(velmont::kSvcCmdRegDeleteTree, {Str(L"HKEY_CURRENT_USER")})), win32::kErrorAccessDenied);

  // Update of a missing value: not found, nothing created.
  EXPECT_EQ(Result(Transact(velmont::kSvcCmdRegUpdateValue, {Str(test_key_), Str(L"absent"), U32(4), U32(1)})), win32::kErrorFileNotFound);
  EXPECT_EQ(Result(Transact(velmont::kSvcCmdRegGetValue, {Str(test_key_), Str(L"absent"), U32(0xFFFF), U32(16)})), win32::kErrorFileNotFound);

  // Get of a missing value with flags 16, size 4 and a 4-byte default writes a DWORD.
  auto got = Transact(velmont::kSvcCmdRegGetValue, {Str(test_key_), Str(L"dflt"), U32(16), U32(4), U32(0x11223344)});
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(Result(got), 0u);
  EXPECT_EQ(got[1], U32(0x11223344));
  got = Transact(velmont::kSvcCmdRegGetValue, {Str(test_key_), Str(L"dflt"), U32(16), U32(4)});
  EXPECT_EQ(Result(got), 0u) << "the value must now be a REG_DWORD";

  // An 8-byte u32 argument reads as 0: the type becomes REG_NONE.
  EXPECT_EQ(Result(Transact(velmont::kSvcCmdRegSetValue, {Str(test_key_), Str(L"t8"), Bytes(8, 4), U32(5)})), 0u);
  EXPECT_EQ(Result(Transact(velmont::kSvcCmdRegGetValue, {Str(test_key_), Str(L"t8"), U32(win32::kRrfRtRegDword), U32(4)})),
            win32::kErrorUnsupportedType);
  EXPECT_EQ(Result(Transact(velmont::kSvcCmdRegGetValue, {Str(test_key_), Str(L"t8"), U32(win32::kRrfRtRegNone), U32(4)})), 0u);

  // A value larger than the buffer: MORE_DATA, never more bytes than asked for, value kept.
  const Bytes big(64, 0x5A);
  EXPECT_EQ(Result(Transact(velmont::kSvcCmdRegSetValue, {Str(test_key_), Str(L"big"), U32(win32::kRegBinary), big})), 0u);
  got = Transact(velmont::kSvcCmdRegGetValue, {Str(test_key_), Str(L"big"), U32(win32::kRrfRtRegBinary), U32(8), Bytes{1}});
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(Result(got), win32::kErrorMoreData);
  EXPECT_LE(got[1].size(), 8u);
  got = Transact(velmont::kSvcCmdRegGetValue, {Str(test_key_), Str(L"big"), U32(win32::kRrfRtRegBinary), U32(64)});
  EXPECT_EQ(got.size() == 2 ? got[1] : Bytes{}, big);

  EXPECT_EQ(Result(Transact(velmont::kSvcCmdRegDeleteValue, {Str(test_key_), Str(L"big")})), 0u);
  EXPECT_EQ(Result(Transact(velmont::kSvcCmdRegDeleteTree, {Str(test_key_)})), 0u);
  EXPECT_EQ(Result(Transact(velmont::kSvcCmdRegGetValue, {Str(test_key_), Str(L"dflt"), U32(0xFFFF), U32(4)})), win32::kErrorFileNotFound);
}

// Every slot with every argument count up to 5 and lengths around the scalar
// widths, valid and broken strings: the service answers each in its shape (or
// not at all for the silent slots) and keeps serving.
TEST_F(HardwareService, EverySlotSurvivesEveryArgumentShape) {
  Bytes odd = Str(test_key_ + L"\\s");
  odd.push_back(0x41);
  Bytes unterminated = Str(test_key_ + L"\\s");
  unterminated.resize(unterminated.size() - 2);
  const std::vector<Bytes> shapes = {{},           Bytes(1, 1), Bytes(3, 2), Bytes(4, 3), Bytes(5, 4),
                                     Bytes(8, 5),  odd,         unterminated, Str(test_key_ + L"\\s")};
  auto silent = [](uint16_t c) { return (c >= 19 && c <= 23) || c == 28 || c == 29 || (c >= 32 && c <= 38); };
  auto slow = [](uint16_t c) { return c == 7 || (c >= 13 && c <= 18) || (c >= 24 && c <= 27) || c == 30 || c == 31; };

  for (uint16_t command = 0; command < velmont::kHardwareCommandSlots; ++command) {
    for (size_t count = 0; count <= 5; ++count) {
      for (size_t s = 0; s < shapes.size(); ++s) {
        // Firmware calls are slow on some hosts: fewer shapes, same counts.
        if (slow(command) && s % 4 != 0) continue;
        std::vector<Bytes> args;
        for (size_t i = 0; i < count; ++i) args.push_back(shapes[(s + i) % shapes.size()]);
        SCOPED_TRACE(::testing::Message() << "command " << command << " count " << count << " shape " << s);
        Connection c;
        ASSERT_EQ(c.Send(command, args), 0u);
        if (silent(command)) {
          ASSERT_EQ(c.Send(velmont::kSvcCmdDumpArguments, {}), 0u);
        }
        auto reply = c.Read();
        ASSERT_TRUE(reply.has_value());
        if (silent(command)) {
          EXPECT_NE(DumpText(*reply).find("Number of arguments: 0"), std::string::npos);
        } else if (command == 6) {
          ASSERT_EQ(reply->size(), 2u);
          const size_t limit = count >= 4 && !args[3].empty() && args[3].size() <= 4
                                   ? pipe::PipeRequest::Parse(pipe::PackRequest(6, Args(args)), 39)->U32Arg(3)
                                   : 0;
          EXPECT_LE((*reply)[1].size(), limit);
        } else {
          ASSERT_EQ(reply->size(), 1u);
        }
      }
    }
  }
  EXPECT_EQ(Transact(velmont::kSvcCmdDumpArguments, {Bytes{1, 2, 3}}).size(), 1u);
}

// The get command against the real store: an existing value of another type
// is never replaced by the default, and a buffer of size 0 is too small for
// a value with data.
TEST_F(HardwareService, GetValueKeepsExistingValuesAndReportsMoreData) {
  ASSERT_EQ(Result(Transact(velmont::kSvcCmdRegSetValue, {Str(test_key_), Str(L"exp"), U32(win32::kRegExpandSz), Str(L"keep me")})), 0u);
  ASSERT_EQ(Result(Transact(velmont::kSvcCmdRegSetValue, {Str(test_key_), Str(L"dw"), U32(win32::kRegDword), U32(7)})), 0u);
  const Bytes dead = {0xDE, 0xAD, 0xBE, 0xEF};
  EXPECT_NE(Result(Transact(velmont::kSvcCmdRegGetValue, {Str(test_key_), Str(L"exp"), U32(win32::kRrfRtRegExpandSz), U32(64), dead})), 0u);
  EXPECT_NE(Result(Transact(velmont::kSvcCmdRegGetValue, {Str(test_key_), Str(L"exp"), U32(win32::kRrfRtRegDword), U32(64), dead})), 0u);
  EXPECT_NE(Result(Transact(velmont::kSvcCmdRegGetValue, {Str(test_key_), Str(L"dw"), pipe::U64Bytes(16), U32(64), dead})), 0u);

  auto got = Transact(velmont::kSvcCmdRegGetValue, {Str(test_key_), Str(L"exp"), U32(win32::kRrfRtRegExpandSz | win32::kRrfNoExpand), U32(64)});
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(Result(got), 0u) << "the expandable string must still be one";
  EXPECT_EQ(got[1], Str(L"keep me"));
  got = Transact(velmont::kSvcCmdRegGetValue, {Str(test_key_), Str(L"dw"), U32(win32::kRrfRtRegDword), U32(4)});
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(Result(got), 0u);
  EXPECT_EQ(got[1], U32(7));

  for (uint32_t size : {0u, 3u}) {
    got = Transact(velmont::kSvcCmdRegGetValue, {Str(test_key_), Str(L"dw"), U32(win32::kRrfRtRegDword), U32(size)});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(Result(got), win32::kErrorMoreData) << "size " << size;
    EXPECT_LE(got[1].size(), size);
  }
}

#ifndef _WIN32
// Runs `requests` on the service's pipe from a child process that has dropped
// to uid and gid 65534 first (when this test runs as root; otherwise it is
// already an account without privileges), and returns each reply's result.
std::vector<uint32_t> TransactAsNobody(const std::vector<std::pair<uint16_t, std::vector<Bytes>>>& requests) {
  // Packed before fork: the child only sends, reads and writes.
  std::vector<Bytes> packed;
  for (const auto& [command, args] : requests) packed.push_back(pipe::PackRequest(command, Args(args)));
  const std::wstring name = Fixture::PipeName();
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
    if (geteuid() == 0) _exit(4);
    for (const Bytes& request : packed) {
      uint32_t result = 0xDEADBEEF;
      pipe::PipeClient client(name);
      Bytes reply;
      if (client.Connect() == 0 && client.Write(request) == 0 && client.ReadMessage(&reply) == 0) {
        auto parsed = pipe::ParseReply(reply);
        if (parsed && !parsed->empty() && (*parsed)[0].size() >= 4) result = pipe::ReadU32Le((*parsed)[0].data());
      }
      if (write(fds[1], &result, sizeof result) != sizeof result) _exit(5);
    }
    _exit(0);
  }
  close(fds[1]);
  std::vector<uint32_t> results;
  uint32_t result = 0;
  while (read(fds[0], &result, sizeof result) == sizeof result) results.push_back(result);
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  return results;
}

// An account without privileges reaches the service's pipe, but neither
// writes outside SOFTWARE\OEM nor, by writing inside it, moves where the
// firmware backend or the launcher folder come from.
TEST_F(HardwareService, AnAccountWithoutPrivilegesChangesNothingOutsideTheOemKeys) {
  // The private folders of the test environment are the runtime dir's parents.
  std::filesystem::permissions(env_->root(), std::filesystem::perms(0755));
  const std::wstring platform = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\OEM\\VantrelSysMonitorService\\Platform";
  reg::Registry& store = reg::SystemRegistry();
  ASSERT_EQ(reg::WriteDword(store, reg::Root::kLocalMachine, L"SOFTWARE\\OEM\\Other", L"keep", 1), 0u);
  ASSERT_EQ(reg::WriteDword(store, reg::Root::kLocalMachine, L"SOFTWARE\\Other", L"keep", 1), 0u);

  const std::vector<uint32_t> results = TransactAsNobody({
      {3, {Str(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\ByNobody"), Str(L"v"), U32(win32::kRegDword), U32(1)}},
      {1, {Str(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\\\ByNobody\\")}},
      {2, {Str(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\OEM")}},
      {2, {Str(L"HKEY_LOCAL_MACHINE\\SOFTWARE")}},
      {4, {Str(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Other"), Str(L"keep")}},
      {2, {Str(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\OEM\\..\\Other")}},
      {3, {Str(platform), Str(L"FirmwareBackend"), U32(win32::kRegSz), Str(L"sim")}},
      {3, {Str(platform), Str(L"ProgramsFolder"), U32(win32::kRegSz), Str(L"/attacker/dir")}},
  });
  ASSERT_EQ(results.size(), 8u);
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(results[i], win32::kErrorAccessDenied) << "request " << i;
  EXPECT_EQ(results[6], 0u) << "the suite's own key stays writable";
  EXPECT_EQ(results[7], 0u);

  EXPECT_FALSE(reg::ValueExists(store, reg::Root::kLocalMachine, L"SOFTWARE\\ByNobody", L"v"));
  EXPECT_NE(store.OpenKey(reg::Root::kLocalMachine, L"SOFTWARE\\ByNobody"), 0u);
  EXPECT_EQ(reg::ReadDword(store, reg::Root::kLocalMachine, L"SOFTWARE\\OEM\\Other", L"keep"), 1u);
  EXPECT_EQ(reg::ReadDword(store, reg::Root::kLocalMachine, L"SOFTWARE\\Other", L"keep"), 1u);
  // The backend is still the configured one (none): firmware calls fail.
  EXPECT_EQ(Transact(velmont::kSvcCmdWMIGetGamingSystemInformation, {U32(0x0101)}), std::vector<Bytes>{pipe::U64Bytes(0xFFFFFFFFull)});
}
#endif

TEST_F(HardwareService, ASecondInstanceEndsAtOnceWithZero) {
  auto second = Start();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->Wait(std::chrono::seconds(15)), std::optional<int>(0));
  EXPECT_TRUE(process_->Running());
  EXPECT_EQ(Transact(velmont::kSvcCmdDumpArguments, {}).size(), 1u);
}

}  // namespace
