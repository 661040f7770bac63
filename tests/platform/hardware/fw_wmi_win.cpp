// The firmware interface on Windows without the firmware classes (as under
// Wine): every command answers its failure value in its width and logs its
// failure text, ROOT\WMI still connects, and the operation-mode test says 0.
#include <windows.h>
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "common/hardware_commands.h"
#include "common/pipe_message.h"
#include "tests/support/hardware_request.h"
#include "hardware/commands/command_processor.h"
#include "hardware/firmware/commands.h"
#include "hardware/firmware_gpu_startup.h"
#include "hardware/firmware/wmi_win.h"
#include "tests/unit/hardware/fw_gpu_test_support.h"

namespace fw = velmont::firmware;
using velmont::VmClientCommandProcessor;
using vantrel::pipe::PipeArg;
using vantrel::pipe::PipeRequest;

namespace {

using Handler = vantrel::pipe::PipeReply (*)(const PipeRequest&);

const std::map<uint16_t, Handler> kHandlers = {
    {7, &VmClientCommandProcessor::wmi_get_gaming_system_information},
    {13, &VmClientCommandProcessor::wmi_set_gaming_fan_group_behavior},
    {14, &VmClientCommandProcessor::wmi_get_gaming_fan_group_behavior},
    {15, &VmClientCommandProcessor::wmi_set_gaming_fan_group_speed},
    {16, &VmClientCommandProcessor::wmi_get_gaming_fan_group_speed},
    {17, &VmClientCommandProcessor::wmi_set_gaming_fan_table},
    {18, &VmClientCommandProcessor::wmi_get_gaming_fan_table},
    {24, &VmClientCommandProcessor::wmi_set_gaming_profile_configuration},
    {25, &VmClientCommandProcessor::wmi_get_gaming_profile_configuration},
    {26, &VmClientCommandProcessor::wmi_set_gaming_misc_setting},
    {27, &VmClientCommandProcessor::wmi_get_gaming_misc_setting},
    {30, &VmClientCommandProcessor::wmi_get_function},
    {31, &VmClientCommandProcessor::wmi_set_function},
};

std::vector<uint8_t> Send(uint16_t command, const std::vector<uint8_t>& arg) {
  return vantrel::testing::SingleArg(vantrel::testing::CallHardwareHandler(kHandlers.at(command), command, {arg}));
}

std::vector<uint8_t> FailureFor(uint16_t command) {
  return fw::FindFirmwareCommand(command)->set_row ? vantrel::pipe::U32Bytes(0xFFFFFFFFu)
                                                    : vantrel::pipe::U64Bytes(0xFFFFFFFFull);
}

}  // namespace

TEST(FirmwareWithoutClasses, EveryCommandRepliesItsFailureValueAndText) {
  for (const auto& [command, handler] : kHandlers) {
    fwgpu_test::LogCapture log;
    const fw::FirmwareCommand* row = fw::FindFirmwareCommand(command);
    const auto reply = Send(command, row->set_row ? vantrel::pipe::U64Bytes(0x1234) : vantrel::pipe::U32Bytes(0x0101));
    EXPECT_EQ(reply.size(), row->output_width()) << command;
    EXPECT_EQ(reply, FailureFor(command)) << command;
    EXPECT_TRUE(log.Has(vantrel::text::ToUtf8(row->handler), vantrel::text::ToUtf8(row->failure_text))) << command;
  }
}

TEST(FirmwareWithoutClasses, RootWmiConnectsButHasNoFirmwareObject) {
  fw::WmiConnection wmi;
  ASSERT_TRUE(wmi.Open()) << std::hex << wmi.last_result;
  EXPECT_NE(wmi.services, nullptr);
  EXPECT_TRUE(fw::FindFirmwareObjectPath(wmi, L"VantrelGamingFunction", L"SELECT * FROM VantrelGamingFunction").empty());
  EXPECT_TRUE(fw::FindFirmwareObjectPath(wmi, L"VRGeAction", L"SELECT * FROM VRGeAction").empty());
  VARIANT out;
  VariantInit(&out);
  EXPECT_TRUE(FAILED(fw::InvokeFirmwareMethod(wmi, L"VRGeAction", L"GetFunction", L"SELECT * FROM VRGeAction", {},
                                              {{L"uiOutput", &out}})));
  VariantClear(&out);
  wmi.Close();
  EXPECT_EQ(wmi.services, nullptr);
  EXPECT_EQ(wmi.locator, nullptr);
}

TEST(FirmwareWithoutClasses, LeavesAThreadsOwnApartmentAlone) {
  // A caller already in a single-threaded apartment keeps it: the command
  // must neither fail on it nor uninitialise COM under the caller.
  std::thread t([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_EQ(Send(velmont::kSvcCmdWMIGetGamingFanGroupSpeed, vantrel::pipe::U32Bytes(0)), FailureFor(16));
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);  // still initialised
    CoUninitialize();
    CoUninitialize();
  });
  t.join();
  // A thread of our own comes out without COM, as it went in.
  std::thread u([] {
    EXPECT_EQ(Send(velmont::kSvcCmdWMISetGamingFanGroupSpeed, vantrel::pipe::U64Bytes(1)), FailureFor(15));
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    CoUninitialize();
  });
  u.join();
}

TEST(FirmwareWithoutClasses, ConcurrentCommandsEachGetTheirAnswer) {
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (uint16_t command : {7, 14, 15, 25, 26, 30, 31, 18}) {
    threads.emplace_back([command, &wrong] {
      for (int i = 0; i < 3; ++i) {
        if (Send(command, vantrel::pipe::U32Bytes(i)) != FailureFor(command)) ++wrong;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(FirmwareWithoutClasses, OperationModeIsNotSupported) {
  fwgpu_test::LogCapture log;
  EXPECT_EQ(velmont::OperationModeSupport(), 0);
}
