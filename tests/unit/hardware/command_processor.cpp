// The command processor against an in-memory registry: key-path rules, result
// codes, the get command's default write and bounded reply, the log-only and
// reserved slots, survival of every argument shape, and the re-issue over the
// service's own pipe.
#include "tests/support/hardware_request.h"
#include "hardware/commands/command_processor.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/hardware_commands.h"
#include "common/diag_log.h"
#include "common/names.h"
#include "common/pipe_transport.h"
#include "common/text.h"
#include "common/win32_errors.h"
#include "tests/support/test_env.h"
#include "tests/unit/hardware/fake_registry.h"

namespace {

using namespace vantrel;
using velmont::VmClientCommandProcessor;
using Bytes = std::vector<uint8_t>;
namespace vt = vantrel::testing;

Bytes Str(const std::wstring& s) { return text::ToUtf16LeZ(s); }
Bytes U32(uint32_t v) { return pipe::U32Bytes(v); }

Bytes Pack(uint16_t command, const std::vector<Bytes>& args) {
  std::vector<pipe::PipeArg> a;
  for (const auto& b : args) a.push_back({static_cast<uint32_t>(b.size()), b.data()});
  return pipe::PackRequest(command, a);
}

// Runs one request through the table as the pipe server would.
pipe::PipeReply Call(uint16_t command, const std::vector<Bytes>& args) {
  static const auto table = VmClientCommandProcessor::CommandTable();
  return vantrel::testing::CallHardwareHandler(table[command], command, args);
}

// The single u32 of a one-argument reply.
uint32_t U32Reply(const pipe::PipeReply& reply) {
  EXPECT_TRUE(reply.has_value());
  if (!reply) return 0xDEADBEEF;
  EXPECT_EQ(reply->size(), 9u);
  auto args = pipe::ParseReply(*reply);
  EXPECT_TRUE(args && args->size() == 1 && (*args)[0].size() == 4);
  if (!args || args->size() != 1 || (*args)[0].size() != 4) return 0xDEADBEEF;
  return pipe::ReadU32Le((*args)[0].data());
}

struct GetReply {
  uint32_t result;
  Bytes data;
};
GetReply ParseGet(const pipe::PipeReply& reply) {
  EXPECT_TRUE(reply.has_value());
  auto args = pipe::ParseReply(*reply);
  EXPECT_TRUE(args && args->size() == 2 && (*args)[0].size() == 4);
  if (!args || args->size() != 2 || (*args)[0].size() != 4) return {0xDEADBEEF, {}};
  return {pipe::ReadU32Le((*args)[0].data()), Bytes((*args)[1].begin(), (*args)[1].end())};
}

class CommandProcessorTest : public ::testing::Test {
 protected:
  void SetUp() override { reg::SetSystemRegistryForTesting(&registry_); }
  void TearDown() override { reg::SetSystemRegistryForTesting(nullptr); }
  vt::FakeRegistry registry_;
};

const reg::Root kCu = reg::Root::kCurrentUser;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST_F(CommandProcessorTest, KeyPathRootsResolveCaseInsensitivelyAndOnlyInFull) {
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegCreateKey, {Str(L"hkey_current_user\\Software\\OEM\\T1")})), 0u);
  EXPECT_TRUE(registry_.HasKey(kCu, L"Software\\OEM\\T1"));
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegCreateKey, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\T2\\Deep")})), 0u);
  EXPECT_TRUE(registry_.HasKey(kCu, L"Software\\OEM\\T2\\Deep"));

  const size_t keys = registry_.KeyCount();
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegCreateKey, {Str(L"HKLM\\Software\\T3")})), win32::kErrorFileNotFound);
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegCreateKey, {Str(L"HKEY_CURRENT_USERX\\Software\\T3")})), win32::kErrorFileNotFound);
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegSetValue, {Str(L"HKCU\\S"), Str(L"v"), U32(4), U32(1)})), win32::kErrorFileNotFound);
  EXPECT_EQ(registry_.KeyCount(), keys);

  // A bare root is outside the commands' reach: refused, nothing created.
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegCreateKey, {Str(L"HKEY_CURRENT_USER")})), win32::kErrorAccessDenied);
  EXPECT_EQ(registry_.KeyCount(), keys);
}

TEST_F(CommandProcessorTest, SetUpdateDeleteValue) {
  const Bytes dword = U32(0x01020304);
  // Set creates the key; a type argument longer than 4 bytes reads as type 0.
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegSetValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\A\\B"), Str(L"v"), U32(4), dword})), 0u);
  EXPECT_EQ(registry_.Get(kCu, L"Software\\OEM\\A\\B", L"v")->type, win32::kRegDword);
  EXPECT_EQ(registry_.Get(kCu, L"Software\\OEM\\A\\B", L"v")->data, dword);
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegSetValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\A\\B"), Str(L"w"), pipe::U64Bytes(4), dword})), 0u);
  EXPECT_EQ(registry_.Get(kCu, L"Software\\OEM\\A\\B", L"w")->type, win32::kRegNone);

  // Update writes only an existing value.
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegUpdateValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\A\\B"), Str(L"v"), U32(3), Bytes{9, 9}})), 0u);
  EXPECT_EQ(registry_.Get(kCu, L"Software\\OEM\\A\\B", L"v")->data, (Bytes{9, 9}));
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegUpdateValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\A\\B"), Str(L"missing"), U32(4), dword})),
            win32::kErrorFileNotFound);
  EXPECT_FALSE(registry_.Get(kCu, L"Software\\OEM\\A\\B", L"missing"));
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegUpdateValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\No\\Key"), Str(L"v"), U32(4), dword})),
            win32::kErrorFileNotFound);
  EXPECT_FALSE(registry_.HasKey(kCu, L"Software\\OEM\\No\\Key"));
  EXPECT_FALSE(registry_.HasKey(kCu, L"Software\\OEM\\No"));

  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegDeleteValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\A\\B"), Str(L"v")})), 0u);
  EXPECT_FALSE(registry_.Get(kCu, L"Software\\OEM\\A\\B", L"v"));
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegDeleteValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\A\\B"), Str(L"v")})), win32::kErrorFileNotFound);
}

TEST_F(CommandProcessorTest, DeleteTreeRemovesSubtreeButNeverARoot) {
  registry_.SetValue(kCu, L"Software\\OEM\\Keep", L"x", win32::kRegDword, U32(1).data(), 4);
  registry_.SetValue(kCu, L"Software\\OEM\\Gone\\Child", L"x", win32::kRegDword, U32(1).data(), 4);
  for (const wchar_t* bare : {L"HKEY_CURRENT_USER", L"hkey_current_user\\", L"HKEY_CURRENT_USER\\\\"}) {
    EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegDeleteTree, {Str(bare)})), win32::kErrorAccessDenied) << text::ToUtf8(bare);
  }
  EXPECT_TRUE(registry_.Get(kCu, L"Software\\OEM\\Keep", L"x"));
  EXPECT_TRUE(registry_.Get(kCu, L"Software\\OEM\\Gone\\Child", L"x"));

  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegDeleteTree, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\Gone")})), 0u);
  EXPECT_FALSE(registry_.HasKey(kCu, L"Software\\OEM\\Gone\\Child"));
  EXPECT_FALSE(registry_.HasKey(kCu, L"Software\\OEM\\Gone"));
  EXPECT_TRUE(registry_.Get(kCu, L"Software\\OEM\\Keep", L"x"));
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegDeleteTree, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\Gone")})), win32::kErrorFileNotFound);
}

TEST_F(CommandProcessorTest, GetValueWritesTheDefaultForAMissingValue) {
  const Bytes def = {0x2A, 0, 0, 0};
  GetReply r = ParseGet(Call(velmont::kSvcCmdRegGetValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\G"), Str(L"d"), U32(16), U32(4), def}));
  EXPECT_EQ(r.result, 0u);
  EXPECT_EQ(r.data, def);
  ASSERT_TRUE(registry_.Get(kCu, L"Software\\OEM\\G", L"d"));
  EXPECT_EQ(registry_.Get(kCu, L"Software\\OEM\\G", L"d")->type, win32::kRegDword);

  // Flags 2 write REG_SZ; other flags are the type themselves.
  const Bytes text = Str(L"hi");
  r = ParseGet(Call(velmont::kSvcCmdRegGetValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\G"), Str(L"s"), U32(2), U32(64), text}));
  EXPECT_EQ(r.result, 0u);
  EXPECT_EQ(r.data, text);
  EXPECT_EQ(registry_.Get(kCu, L"Software\\OEM\\G", L"s")->type, win32::kRegSz);
  r = ParseGet(Call(velmont::kSvcCmdRegGetValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\G"), Str(L"b"), U32(8), U32(64), Bytes{1, 2, 3}}));
  EXPECT_EQ(registry_.Get(kCu, L"Software\\OEM\\G", L"b")->type, 8u);

  // The any-type mask and an absent default write nothing.
  r = ParseGet(Call(velmont::kSvcCmdRegGetValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\G"), Str(L"n1"), U32(0xFFFF), U32(4), def}));
  EXPECT_EQ(r.result, win32::kErrorFileNotFound);
  r = ParseGet(Call(velmont::kSvcCmdRegGetValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\G"), Str(L"n2"), U32(16), U32(4)}));
  EXPECT_EQ(r.result, win32::kErrorFileNotFound);
  EXPECT_FALSE(registry_.Get(kCu, L"Software\\OEM\\G", L"n1"));
  EXPECT_FALSE(registry_.Get(kCu, L"Software\\OEM\\G", L"n2"));
}

TEST_F(CommandProcessorTest, GetValueNeverSendsMoreThanItsBufferNorOverwritesALargerValue) {
  const Bytes big(100, 0x77);
  registry_.SetValue(kCu, L"Software\\OEM\\G", L"big", win32::kRegBinary, big.data(), 100);
  GetReply r = ParseGet(Call(velmont::kSvcCmdRegGetValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\G"), Str(L"big"), U32(8), U32(4), Bytes{1, 1, 1, 1}}));
  EXPECT_EQ(r.result, win32::kErrorMoreData);
  EXPECT_LE(r.data.size(), 4u);
  EXPECT_EQ(registry_.Get(kCu, L"Software\\OEM\\G", L"big")->data, big);

  r = ParseGet(Call(velmont::kSvcCmdRegGetValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\G"), Str(L"big"), U32(8), U32(100)}));
  EXPECT_EQ(r.result, 0u);
  EXPECT_EQ(r.data, big);

  // A size no reply could carry is bounded rather than allocated.
  r = ParseGet(Call(velmont::kSvcCmdRegGetValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\G"), Str(L"big"), U32(8), U32(0xFFFFFFFF)}));
  EXPECT_EQ(r.result, 0u);
  EXPECT_EQ(r.data, big);
}

// A value that exists is never replaced by the default, whatever its type and
// however the flags or sizes are given.
TEST_F(CommandProcessorTest, GetValueNeverReplacesAnExistingValue) {
  const Bytes keep = Str(L"keep me");
  struct Case {
    const char* name;
    uint32_t type;
    Bytes data;
    Bytes flags;
  };
  const std::vector<Case> cases = {
      {"expand string read as a DWORD", win32::kRegExpandSz, keep, U32(16)},
      {"DWORD with 8-byte flags (read as 0)", win32::kRegDword, U32(7), pipe::U64Bytes(16)},
      {"string read as a DWORD", win32::kRegSz, keep, U32(16)},
      {"3-byte binary read as a DWORD", win32::kRegBinary, Bytes{1, 2, 3}, U32(16)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    registry_.Put(kCu, L"Software\\OEM\\X", L"v", c.type, c.data);
    GetReply r = ParseGet(Call(velmont::kSvcCmdRegGetValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\X"), Str(L"v"), c.flags, U32(64),
                                   Bytes{0xDE, 0xAD, 0xBE, 0xEF}}));
    EXPECT_NE(r.result, 0u);
    ASSERT_TRUE(registry_.Get(kCu, L"Software\\OEM\\X", L"v"));
    EXPECT_EQ(registry_.Get(kCu, L"Software\\OEM\\X", L"v")->type, c.type);
    EXPECT_EQ(registry_.Get(kCu, L"Software\\OEM\\X", L"v")->data, c.data);
  }
}

// A buffer too small for the value answers ERROR_MORE_DATA, size 0 included
// (an empty buffer is not a size query).
TEST_F(CommandProcessorTest, GetValueIntoATooSmallBufferAnswersMoreData) {
  registry_.Put(kCu, L"Software\\OEM\\X", L"d", win32::kRegDword, U32(7));
  for (uint32_t size : {0u, 3u}) {
    GetReply r = ParseGet(Call(velmont::kSvcCmdRegGetValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\X"), Str(L"d"), U32(16), U32(size)}));
    EXPECT_EQ(r.result, win32::kErrorMoreData) << "size " << size;
    EXPECT_LE(r.data.size(), size);
  }
  // An empty value fits an empty buffer.
  registry_.Put(kCu, L"Software\\OEM\\X", L"e", win32::kRegBinary, {});
  GetReply r = ParseGet(Call(velmont::kSvcCmdRegGetValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\X"), Str(L"e"), U32(8), U32(0)}));
  EXPECT_EQ(r.result, 0u);
  EXPECT_TRUE(r.data.empty());
}

// Registry commands reach only keys at or below SOFTWARE\OEM of HKLM and HKCU
// (delete-tree only keys strictly below it): anything else answers
// ERROR_ACCESS_DENIED without touching the registry, and logs one line.
TEST_F(CommandProcessorTest, RegistryCommandsReachOnlyTheOemKeys) {
  registry_.Put(reg::Root::kLocalMachine, L"SOFTWARE\\OEM\\VantrelSysMonitorService", L"keep", win32::kRegDword,
                U32(1));
  registry_.Put(reg::Root::kLocalMachine, L"SOFTWARE\\Other", L"keep", win32::kRegDword, U32(1));
  const size_t keys = registry_.KeyCount();
  const size_t values = registry_.ValueCount();
  vt::DenyingRegistry counting(registry_, 0);
  reg::SetSystemRegistryForTesting(&counting);

  const std::vector<std::wstring> outside = {
      L"HKEY_LOCAL_MACHINE",
      L"HKEY_LOCAL_MACHINE\\",
      L"HKEY_LOCAL_MACHINE\\SOFTWARE",
      L"HKEY_LOCAL_MACHINE\\SOFTWARE\\ByNobody",
      L"HKEY_LOCAL_MACHINE\\SOFTWARE\\OEMX\\a",
      L"HKEY_LOCAL_MACHINE\\SOFTWAR\\OEM\\a",
      L"HKEY_LOCAL_MACHINE\\SYSTEM\\SOFTWARE\\OEM\\a",
      L"HKEY_LOCAL_MACHINE\\SOFTWARE\\OEM\\..\\..\\SYSTEM",
      L"HKEY_LOCAL_MACHINE\\SOFTWARE\\OEM\\.\\a",
      L"HKEY_LOCAL_MACHINE\\\uFF33OFTWARE\\OEM\\a",  // full-width look-alike
      L"HKEY_USERS\\S-1-5-18\\SOFTWARE\\OEM\\a",
      L"HKEY_CLASSES_ROOT\\SOFTWARE\\OEM\\a",
      L"HKEY_CURRENT_CONFIG\\SOFTWARE\\OEM\\a",
  };
  const Bytes dword = U32(0xDEADBEEF);
  for (const std::wstring& path : outside) {
    SCOPED_TRACE(text::ToUtf8(path));
    EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegCreateKey, {Str(path)})), win32::kErrorAccessDenied);
    EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegDeleteTree, {Str(path)})), win32::kErrorAccessDenied);
    EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegSetValue, {Str(path), Str(L"keep"), U32(4), dword})), win32::kErrorAccessDenied);
    EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegDeleteValue, {Str(path), Str(L"keep")})), win32::kErrorAccessDenied);
    EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegUpdateValue, {Str(path), Str(L"keep"), U32(4), dword})), win32::kErrorAccessDenied);
    GetReply r = ParseGet(Call(velmont::kSvcCmdRegGetValue, {Str(path), Str(L"keep"), U32(16), U32(4), dword}));
    EXPECT_EQ(r.result, win32::kErrorAccessDenied);
    EXPECT_TRUE(r.data.empty());
  }
  // OEM itself may hold values but is never deleted, however it is spelled.
  for (const wchar_t* oem : {L"HKEY_LOCAL_MACHINE\\SOFTWARE\\OEM", L"hkey_local_machine\\\\software\\oem\\\\"}) {
    EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegDeleteTree, {Str(oem)})), win32::kErrorAccessDenied) << text::ToUtf8(oem);
  }
  EXPECT_EQ(counting.calls(), 0) << "a refused command must not reach the registry";
  EXPECT_EQ(registry_.KeyCount(), keys);
  EXPECT_EQ(registry_.ValueCount(), values);

  // Inside: case-insensitive, stray backslashes normalised away.
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegCreateKey, {Str(L"hkey_local_machine\\\\software\\\\oem\\\\New\\")})), 0u);
  EXPECT_TRUE(registry_.HasKey(reg::Root::kLocalMachine, L"SOFTWARE\\OEM\\New"));
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegSetValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM"), Str(L"v"), U32(4), dword})), 0u);
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegDeleteTree, {Str(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\OEM\\\\New")})), 0u);
  EXPECT_FALSE(registry_.HasKey(reg::Root::kLocalMachine, L"SOFTWARE\\OEM\\New"));
}

TEST_F(CommandProcessorTest, ARefusedKeyIsLoggedOnOneLine) {
  vt::ScopedTestEnv env;
  const std::string path = env.root() + "/refused.log";
  DiagnosticLog log(text::FromUtf8(path), L"VantrelSysHardwareService");
  SetProcessLog(&log);
  Call(velmont::kSvcCmdRegSetValue, {Str(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Evil\r\nINFO forged"), Str(L"v"), U32(4), U32(1)});
  Call(velmont::kSvcCmdRegDeleteTree, {Str(L"HKEY_LOCAL_MACHINE\\SOFTWARE")});
  SetProcessLog(nullptr);
  const std::string written = ReadFile(path);
  size_t lines = 0;
  for (char c : written) lines += c == '\n';
  EXPECT_EQ(lines, 2u) << written;
  EXPECT_NE(written.find("velmont::VmClientCommandProcessor::reg_set_value | refused: key outside SOFTWARE\\OEM: "
                         "HKEY_LOCAL_MACHINE\\SOFTWARE\\Evil??INFO forged\r\n"),
            std::string::npos)
      << written;
  EXPECT_NE(written.find("reg_delete_tree | refused: key outside SOFTWARE\\OEM: HKEY_LOCAL_MACHINE\\SOFTWARE\r\n"),
            std::string::npos)
      << written;
}

TEST_F(CommandProcessorTest, ScalarArgumentsAreReadWithinTheirLengths) {
  // An 8-byte type reads as 0: REG_NONE written.
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegSetValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\S"), Str(L"v"), Bytes(8, 0x04), Bytes{1}})), 0u);
  EXPECT_EQ(registry_.Get(kCu, L"Software\\OEM\\S", L"v")->type, 0u);
  // A 1-byte type is zero-extended.
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegSetValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\S"), Str(L"w"), Bytes{4}, U32(7)})), 0u);
  EXPECT_EQ(registry_.Get(kCu, L"Software\\OEM\\S", L"w")->type, win32::kRegDword);
  // 8-byte flags read as 0, which the registry refuses; nothing is written.
  GetReply r = ParseGet(Call(velmont::kSvcCmdRegGetValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\S"), Str(L"x"), Bytes(8, 0x10), U32(4), U32(1)}));
  EXPECT_NE(r.result, 0u);
  EXPECT_LE(r.data.size(), 4u);
}

TEST_F(CommandProcessorTest, MalformedStringsAndMissingArgumentsAreRefused) {
  Bytes odd = Str(L"HKEY_CURRENT_USER\\Software\\OEM\\Odd");
  odd.push_back(0);
  Bytes no_nul = Str(L"HKEY_CURRENT_USER\\Software\\OEM\\NoNul");
  no_nul.resize(no_nul.size() - 2);
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegCreateKey, {odd})), win32::kErrorInvalidParameter);
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegCreateKey, {no_nul})), win32::kErrorInvalidParameter);
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegCreateKey, {})), win32::kErrorInvalidParameter);
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegSetValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\S"), Str(L"v"), U32(4)})), win32::kErrorInvalidParameter);
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegDeleteValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\S")})), win32::kErrorInvalidParameter);
  EXPECT_EQ(ParseGet(Call(velmont::kSvcCmdRegGetValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\S"), Str(L"v"), U32(4)})).result,
            win32::kErrorInvalidParameter);
  EXPECT_FALSE(registry_.HasKey(kCu, L"Software\\OEM\\Odd"));
  EXPECT_FALSE(registry_.HasKey(kCu, L"Software\\OEM\\NoNul"));
  EXPECT_FALSE(registry_.HasKey(kCu, L"Software\\OEM\\S"));
}

// Every slot, every argument count up to 6, every length around the scalar
// widths and strings that are valid, odd or unterminated: no handler reads out
// of bounds (checked under ASan) and each replies in its command's shape.
TEST_F(CommandProcessorTest, EveryHandlerSurvivesEveryArgumentShape) {
  std::vector<Bytes> shapes = {{}, Bytes(1, 0x41), Bytes(2, 0x41), Bytes(3, 0x10), Bytes(4, 0x10), Bytes(5, 0x10),
                               Bytes(7, 0x10), Bytes(8, 0x10), Bytes(9, 0xFF), Bytes(600, 0x41)};
  Bytes odd = Str(L"HKEY_CURRENT_USER\\Software\\OEM\\Survive");
  odd.push_back(0x41);
  Bytes unterminated = Str(L"HKEY_CURRENT_USER\\Software\\OEM\\Survive");
  unterminated.resize(unterminated.size() - 2);
  shapes.push_back(odd);
  shapes.push_back(unterminated);
  shapes.push_back(Str(L"HKEY_CURRENT_USER\\Software\\OEM\\Survive"));
  shapes.push_back(Str(L""));

  for (uint16_t command = 0; command < velmont::kHardwareCommandSlots; ++command) {
    // Firmware and GPU slots are exercised for shape only on a few lengths:
    // their backends are not this test's business and may be slow.
    const bool registry_or_local = command <= 6 || command == 28 || (command >= 33 && command <= 35) ||
                                   (command >= 19 && command <= 23) || command == 29 || command == 32 ||
                                   command >= 36;
    const size_t max_count = registry_or_local ? 6 : 2;
    for (size_t count = 0; count <= max_count; ++count) {
      for (size_t s = 0; s < shapes.size(); ++s) {
        if (!registry_or_local && s % 3 != 0) continue;
        // Argument i takes shape s + i, so mixed shapes meet in one request.
        std::vector<Bytes> args;
        for (size_t i = 0; i < count; ++i) args.push_back(shapes[(s + i) % shapes.size()]);
        SCOPED_TRACE(::testing::Message() << "command " << command << " count " << count << " shape " << s);
        pipe::PipeReply reply = Call(command, args);
        if (command >= 1 && command <= 5) {
          U32Reply(reply);
        } else if (command == 6) {
          GetReply r = ParseGet(reply);
          const uint32_t size = count >= 4 && args[3].size() <= 4 && !args[3].empty()
                                    ? pipe::PipeRequest::Parse(Pack(velmont::kSvcCmdRegGetValue, args), velmont::kHardwareCommandSlots)->U32Arg(3)
                                    : 0;
          if (count >= 4) {
            EXPECT_LE(r.data.size(), size);
          }
        } else if (command == 0) {
          ASSERT_TRUE(reply.has_value());
          EXPECT_TRUE(pipe::ParseReply(*reply).has_value());
        } else if (reply) {
          auto parsed = pipe::ParseReply(*reply);
          ASSERT_TRUE(parsed.has_value());
          EXPECT_EQ(parsed->size(), 1u);
        }
      }
    }
  }
  // Reserved and log-only slots never reply.
  for (uint16_t command : {19, 20, 21, 22, 23, 28, 29, 32, 33, 34, 35, 36, 37, 38}) {
    EXPECT_FALSE(Call(command, {U32(1), U32(2)}).has_value()) << command;
  }
}

TEST_F(CommandProcessorTest, LogOnlyCommandsWriteTheirNameAndReservedSlotsNothing) {
  vt::ScopedTestEnv env;
  const std::string path = env.root() + "/processor.log";
  DiagnosticLog log(text::FromUtf8(path), L"VantrelSysHardwareService");
  SetProcessLog(&log);
  Call(28, {});
  Call(33, {U32(1)});
  Call(velmont::kSvcCmdRegCreateKey, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\Quiet")});
  EXPECT_EQ(ReadFile(path), "");

  Call(velmont::kSvcCmdGetBIOSLogo, {});
  Call(velmont::kSvcCmdGetOperationModeCapbility, {U32(5)});
  Call(velmont::kSvcCmdGetKBBLoff30sControl, {});
  SetProcessLog(nullptr);
  const std::string written = ReadFile(path);
  EXPECT_NE(written.find("| velmont::VmClientCommandProcessor::get_bios_logo | kSvcCmdGetBIOSLogo\r\n"),
            std::string::npos);
  EXPECT_NE(written.find("| velmont::VmClientCommandProcessor::get_operation_mode_capability | "
                         "kSvcCmdGetOperationModeCapbility\r\n"),
            std::string::npos);
  EXPECT_NE(written.find("| velmont::VmClientCommandProcessor::usb_get_keyborad_backlight30s | "
                         "kSvcCmdGetKBBLoff30sControl\r\n"),
            std::string::npos);
  size_t lines = 0;
  for (char c : written) lines += c == '\n';
  EXPECT_EQ(lines, 3u);
}

void SetEnv(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

// The re-issue goes to this process's own pipe, served here by an in-process
// server with the real table.
class ReissueTest : public CommandProcessorTest {
 protected:
  void SetUp() override {
    CommandProcessorTest::SetUp();
    SetEnv("VANTREL_INSTANCE", text::ToUtf8(vt::UniqueName(L"_reissue_")));
    server_ = std::make_unique<pipe::PipeServer>(names::Instance(vantrel::names::kHardwarePipe),
                                                 VmClientCommandProcessor::CommandTable());
    thread_ = std::thread([this] { server_->Run(); });
    // The pipe answers once the first instance exists.
    ASSERT_TRUE(vt::WaitFor(
        [] {
          pipe::PipeClient probe(names::Instance(vantrel::names::kHardwarePipe));
          return probe.Connect() == 0;
        },
        std::chrono::seconds(10)));
  }
  void TearDown() override {
    server_->Stop();
    thread_.join();
    reg::SetSystemRegistryForTesting(nullptr);
    SetEnv("VANTREL_INSTANCE", "");
  }
  vt::ScopedTestEnv env_;
  std::unique_ptr<pipe::PipeServer> server_;
  std::thread thread_;
};

TEST_F(ReissueTest, ADenialIsAnsweredThroughTheReissue) {
  vt::DenyingRegistry deny_once(registry_, 1);
  reg::SetSystemRegistryForTesting(&deny_once);
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegCreateKey, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\Re\\Issued")})), 0u);
  EXPECT_EQ(deny_once.calls(), 2);
  EXPECT_TRUE(registry_.HasKey(kCu, L"Software\\OEM\\Re\\Issued"));

  registry_.SetValue(kCu, L"Software\\OEM\\Re", L"v", win32::kRegDword, U32(77).data(), 4);
  vt::DenyingRegistry deny_read(registry_, 1);
  reg::SetSystemRegistryForTesting(&deny_read);
  GetReply r = ParseGet(Call(velmont::kSvcCmdRegGetValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\Re"), Str(L"v"), U32(16), U32(4)}));
  EXPECT_EQ(r.result, 0u);
  EXPECT_EQ(r.data, U32(77));
}

TEST_F(ReissueTest, ARefusedKeyIsNotReissued) {
  vt::DenyingRegistry deny_all(registry_, -1);
  reg::SetSystemRegistryForTesting(&deny_all);
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegCreateKey, {Str(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\ByNobody")})), win32::kErrorAccessDenied);
  EXPECT_EQ(deny_all.calls(), 0);
}

TEST_F(ReissueTest, APersistentDenialEndsWithAccessDeniedAfterOneReissue) {
  vt::DenyingRegistry deny_all(registry_, -1);
  reg::SetSystemRegistryForTesting(&deny_all);
  EXPECT_EQ(U32Reply(Call(velmont::kSvcCmdRegDeleteValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\Re"), Str(L"v")})), win32::kErrorAccessDenied);
  EXPECT_EQ(deny_all.calls(), 2);

  GetReply r = ParseGet(Call(velmont::kSvcCmdRegGetValue, {Str(L"HKEY_CURRENT_USER\\Software\\OEM\\Re"), Str(L"v"), U32(16), U32(4), U32(1)}));
  EXPECT_EQ(r.result, win32::kErrorAccessDenied);
  EXPECT_LE(r.data.size(), 4u);

  // The same through the pipe, as an outside client sees it.
  const Bytes path = Str(L"HKEY_CURRENT_USER\\Software\\OEM\\Re\\Pipe");
  std::vector<uint8_t> reply;
  const pipe::PipeArg arg{static_cast<uint32_t>(path.size()), path.data()};
  ASSERT_EQ(pipe::PipeTransact(names::Instance(vantrel::names::kHardwarePipe), 1, {&arg, 1}, &reply), 0u);
  EXPECT_EQ(U32Reply(reply), win32::kErrorAccessDenied);
  EXPECT_FALSE(registry_.HasKey(kCu, L"Software\\OEM\\Re\\Pipe"));
}

}  // namespace
