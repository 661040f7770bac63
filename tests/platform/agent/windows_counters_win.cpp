// The Windows readers on the machine they run on: COM, WMI root\CIMV2, PDH
// and the interface table, with the flags the report depends on.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <thread>

#include "agent/metrics/init_config.h"

using namespace vantrel::agent;

TEST(WindowsCounters, WmiValuesAndNetworkTable) {
  InitConfig c;
  // WMI answers Win32_ComputerSystem and Win32_Processor on Windows and Wine.
  EXPECT_GT(c.GetTotalMemoryMB(), 0.0);
  EXPECT_GT(c.GetMaxClockSpeed(), 0u);
  // GetIfTable2 works wherever the IP Helper does.
  ASSERT_TRUE(c.network_ready());
  double eu = -1, ed = -1, wu = -1, wd = -1;
  Sleep(600);
  ASSERT_TRUE(c.GetNetworkRates(&eu, &ed, &wu, &wd));
  EXPECT_GE(eu, 0.0);
  EXPECT_GE(wd, 0.0);
}

TEST(WindowsCounters, PdhReadingsOrFailureValues) {
  InitConfig c;
  if (!c.pdh_ready()) {
    // Wine lacks the processor information set: every reading is a failure value.
    EXPECT_FALSE(c.CollectSample());
    EXPECT_EQ(c.GetProcessorTime(), -1.0);
    EXPECT_EQ(c.CpuFrequency(2400), -1.0);
    EXPECT_EQ(c.CoreFrequency(0, 2400), -1.0);
    return;
  }
  Sleep(200);
  ASSERT_TRUE(c.CollectSample());
  EXPECT_GE(c.GetProcessorTime(), 0.0);
  EXPECT_GT(c.GetAvailableMBytes(), 0.0);
  const uint32_t max = c.GetMaxClockSpeed();
  EXPECT_GT(c.CpuFrequency(max), 0.0);
  EXPECT_EQ(c.CoreFrequency(static_cast<int>(std::thread::hardware_concurrency()) + 64, max), -1.0);
  const double ram = c.RamUsage();
  EXPECT_GT(ram, 0.0);
  EXPECT_LE(ram, 100.0);
}

TEST(WindowsCounters, ComOwnedByTheCreatingThreadOnly) {
  // A thread already in the single-threaded apartment keeps it: the counters
  // work without owning COM, and the thread's COM stays usable afterwards.
  std::thread t([] {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    {
      InitConfig c;
      EXPECT_GT(c.GetMaxClockSpeed(), 0u);
    }
    HRESULT again = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    EXPECT_EQ(again, S_FALSE);  // still initialised by this thread
    CoUninitialize();
    CoUninitialize();
  });
  t.join();
}
