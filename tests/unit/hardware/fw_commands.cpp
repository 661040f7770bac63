// The firmware command rows: input reading, the decimal text the firmware
// receives, reply widths and failure values, and the log lines.
#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <vector>

#include "common/pipe_message.h"
#include "tests/support/hardware_request.h"
#include "hardware/firmware/commands.h"
#include "tests/unit/hardware/fw_gpu_test_support.h"

namespace fw = velmont::firmware;
using vantrel::pipe::PipeRequest;

namespace {

std::vector<uint8_t> Arg0(const vantrel::pipe::PipeReply& reply) { return vantrel::testing::SingleArg(reply); }

struct Recorded {
  int calls = 0;
  std::optional<uint64_t> input;
};

fw::FirmwareCall Answer(Recorded* rec, std::optional<uint64_t> output) {
  return [rec, output](const fw::FirmwareCommand&, std::optional<uint64_t> in) {
    ++rec->calls;
    rec->input = in;
    return output;
  };
}

vantrel::pipe::PipeReply RunRow(uint16_t command, const std::vector<std::vector<uint8_t>>& args,
                             const fw::FirmwareCall& call) {
  const auto* row = fw::FindFirmwareCommand(command);
  return vantrel::testing::CallHardwareHandler(
      [&](const PipeRequest& request) { return fw::RunFirmwareCommand(*row, request, call); }, command, args);
}

}  // namespace

TEST(DecimalText, IsWhatTheFirmwareReceives) {
  EXPECT_EQ(fw::DecimalText(0x1234), L"4660");
  EXPECT_EQ(fw::DecimalText(0), L"0");
  EXPECT_EQ(fw::DecimalText(0xFFFFFFFFull), L"4294967295");
  EXPECT_EQ(fw::DecimalText(UINT64_MAX), L"18446744073709551615");

  EXPECT_EQ(fw::ParseDecimalText(L"4660"), 0x1234u);
  EXPECT_EQ(fw::ParseDecimalText(L" 15360\r\n"), 0x3C00u);
  EXPECT_EQ(fw::ParseDecimalText(L"18446744073709551615"), UINT64_MAX);
  EXPECT_FALSE(fw::ParseDecimalText(L"18446744073709551616"));  // one past the top
  EXPECT_FALSE(fw::ParseDecimalText(L"99999999999999999999"));
  EXPECT_FALSE(fw::ParseDecimalText(L""));
  EXPECT_FALSE(fw::ParseDecimalText(L"  "));
  EXPECT_FALSE(fw::ParseDecimalText(L"-1"));
  EXPECT_FALSE(fw::ParseDecimalText(L"0x10"));
  EXPECT_FALSE(fw::ParseDecimalText(L"12 34"));

  EXPECT_EQ(fw::HexText(0x3C00), L"3C00");
  EXPECT_EQ(fw::HexText(0), L"0");
  EXPECT_EQ(fw::HexText(0x00000000FFFFFFFFull), L"FFFFFFFF");
}

TEST(FirmwareRows, TableMatchesTheCommandSet) {
  size_t n = 0;
  const fw::FirmwareCommand* rows = fw::FirmwareCommands(&n);
  ASSERT_EQ(n, 13u);
  const std::set<uint16_t> expected{7, 13, 14, 15, 16, 17, 18, 24, 25, 26, 27, 30, 31};
  std::set<uint16_t> seen;
  for (size_t i = 0; i < n; ++i) {
    const auto& r = rows[i];
    seen.insert(r.command);
    EXPECT_EQ(fw::FindFirmwareCommand(r.command), &r);
    // Set rows take 8 bytes and answer 4; Get rows the other way round.
    const bool named_set = std::wstring(r.handler).find(L"_set_") != std::wstring::npos;
    EXPECT_EQ(r.set_row, named_set) << r.command;
    EXPECT_EQ(r.input_width(), named_set ? 8u : 4u);
    EXPECT_EQ(r.output_width(), named_set ? 4u : 8u);
    EXPECT_EQ(r.passes_input, r.command != 18) << r.command;
    const bool ge = r.command == 30 || r.command == 31;
    EXPECT_EQ(std::wstring(r.cls->input), ge ? L"uiInput" : L"gmInput");
    EXPECT_EQ(std::wstring(r.cls->output), ge ? L"uiOutput" : L"gmOutput");
  }
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(fw::FindFirmwareCommand(8), nullptr);
  EXPECT_EQ(fw::FindFirmwareCommand(28), nullptr);
}

TEST(FirmwareReplies, WidthsAndFailureValues) {
  const auto* set = fw::FindFirmwareCommand(15);
  const auto* get = fw::FindFirmwareCommand(16);
  // reply: u8 count 1, u32 length, value
  EXPECT_EQ(fw::FailureReply(*set), (std::vector<uint8_t>{1, 4, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(fw::FailureReply(*get), (std::vector<uint8_t>{1, 8, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}));
  EXPECT_EQ(fw::ValueReply(*get, 0x0102030405060708ull),
            (std::vector<uint8_t>{1, 8, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(fw::ValueReply(*set, 7), (std::vector<uint8_t>{1, 4, 0, 0, 0, 7, 0, 0, 0}));
  // A 32-bit output that does not fit is a failed conversion, never a cut value.
  EXPECT_FALSE(fw::FitOutput(*set, 0x100000000ull));
  EXPECT_EQ(fw::FitOutput(*set, 0xFFFFFFFFull), 0xFFFFFFFFull);
  EXPECT_EQ(fw::FitOutput(*get, UINT64_MAX), UINT64_MAX);
}

TEST(FirmwareHandler, ReadsInputsAsTheRowSays) {
  const auto u64 = vantrel::pipe::U64Bytes(0x1234);
  const auto u32 = vantrel::pipe::U32Bytes(0x0101);
  Recorded rec;
  // A Set row passes its u64.
  EXPECT_EQ(Arg0(RunRow(15, {u64}, Answer(&rec, 0))), vantrel::pipe::U32Bytes(0));
  EXPECT_EQ(rec.input, 0x1234u);
  // A Get row given 8 bytes reads 0.
  RunRow(14, {u64}, Answer(&rec, 5));
  EXPECT_EQ(rec.input, 0u);
  // A Get row with a short argument reads what is there; with none, 0.
  RunRow(7, {{0x01, 0x01}}, Answer(&rec, 5));
  EXPECT_EQ(rec.input, 0x0101u);
  RunRow(7, {}, Answer(&rec, 5));
  EXPECT_EQ(rec.input, 0u);
  // A Set row with 9 bytes reads 0.
  RunRow(31, {{1, 2, 3, 4, 5, 6, 7, 8, 9}}, Answer(&rec, 0));
  EXPECT_EQ(rec.input, 0u);
  // GetGamingFanTable logs its input but passes none.
  fwgpu_test::LogCapture log;
  rec = {};
  EXPECT_EQ(Arg0(RunRow(18, {u32}, Answer(&rec, 0xABCDEF0123ull))), vantrel::pipe::U64Bytes(0xABCDEF0123ull));
  EXPECT_EQ(rec.calls, 1);
  EXPECT_FALSE(rec.input);
  EXPECT_TRUE(log.Has("wmi_get_gaming_fan_table", "WMI GetGamingFanTableFunction input: 0x101"));
}

TEST(FirmwareHandler, EveryRowRepliesItsFailureValueAndText) {
  size_t n = 0;
  const fw::FirmwareCommand* rows = fw::FirmwareCommands(&n);
  for (size_t i = 0; i < n; ++i) {
    const auto& r = rows[i];
    fwgpu_test::LogCapture log;
    Recorded rec;
    const auto reply = Arg0(RunRow(r.command, {vantrel::pipe::U32Bytes(1)}, Answer(&rec, std::nullopt)));
    EXPECT_EQ(reply.size(), r.output_width()) << r.command;
    EXPECT_EQ(reply, r.set_row ? vantrel::pipe::U32Bytes(0xFFFFFFFFu) : vantrel::pipe::U64Bytes(0xFFFFFFFFull));
    const std::string fn = vantrel::text::ToUtf8(r.handler);
    const auto lines = log.Lines();
    ASSERT_GE(lines.size(), 3u) << r.command;
    EXPECT_EQ(lines[0], "velmont::VmClientCommandProcessor::" + fn + " | " + vantrel::text::ToUtf8(r.command_name));
    EXPECT_EQ(lines[2], "velmont::VmClientCommandProcessor::" + fn + " | " + vantrel::text::ToUtf8(r.failure_text));
  }
}

TEST(FirmwareHandler, SuccessLogsTheOutputAndFanBehaviourAddsItsLedLine) {
  {
    fwgpu_test::LogCapture log;
    Recorded rec;
    EXPECT_EQ(Arg0(RunRow(7, {vantrel::pipe::U32Bytes(0x0101)}, Answer(&rec, 0x3C00))),
              vantrel::pipe::U64Bytes(0x3C00));
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "velmont::VmClientCommandProcessor::wmi_get_gaming_system_information | "
                        "WMI GetGamingSystemInformationFunction input: 0x101");
    EXPECT_EQ(lines[2], "velmont::VmClientCommandProcessor::wmi_get_gaming_system_information | "
                        "WMI GetGamingSystemInformationFunction output: 0x3C00");
  }
  for (bool ok : {true, false}) {
    fwgpu_test::LogCapture log;
    Recorded rec;
    RunRow(13, {vantrel::pipe::U64Bytes(0x1122334455ull)}, Answer(&rec, ok ? std::optional<uint64_t>(0) : std::nullopt));
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], "velmont::VmClientCommandProcessor::wmi_set_gaming_fan_group_behavior | "
                        "WMI SetGamingFanGroupBehaviorFunction input: 0x1122334455");
    EXPECT_EQ(lines[3], "velmont::VmClientCommandProcessor::Turn_on_off_Turbo_button_LED | Turn_on_off_Turbo_button_LED");
  }
  {
    // An oversized 32-bit answer is reported as a failure.
    fwgpu_test::LogCapture log;
    Recorded rec;
    EXPECT_EQ(Arg0(RunRow(26, {vantrel::pipe::U64Bytes(1)}, Answer(&rec, 0x1FFFFFFFFull))),
              vantrel::pipe::U32Bytes(0xFFFFFFFFu));
    EXPECT_TRUE(log.Has("wmi_set_gaming_misc_setting", "SetGamingMiscSettingBehavior is fail!!"));
  }
}
