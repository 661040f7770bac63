// Portable arithmetic and text parsing behind the system counters: the
// frequency and memory formulas, and parsers for the Linux /proc and SMBIOS
// sources. No OS headers, so both targets test them.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace vantrel::agent {

// performance % / 100 x max clock; a negative result (failed read) is -1.0.
double FrequencyFromPerformance(double performance_percent, uint32_t max_clock_mhz);

// used / total x 100 with used = total - available, or -1.0 when the
// available reading failed (-1.0). A total of 0 (memory never read) would
// divide by zero and put inf/NaN into the JSON, so it reports 0.0 instead.
double RamUsagePercent(double total_mb, double available_mb);

// The aggregate "cpu" line of /proc/stat: busy and total jiffies; nullopt when
// it cannot be read or its fields sum past 64 bits.
struct CpuTimes {
  uint64_t busy = 0;
  uint64_t total = 0;
};
std::optional<CpuTimes> ParseProcStatTotal(std::string_view proc_stat);
// Processor time in percent between two samples; nullopt when no time passed
// (an empty interval says nothing about the load, it is not 0 %).
std::optional<double> ProcessorTimePercent(const CpuTimes& before, const CpuTimes& after);

// A "Key:   N kB" field of /proc/meminfo, in kB.
std::optional<uint64_t> ParseMeminfoKb(std::string_view meminfo, std::string_view key);

// "cpu MHz" of each "processor" block of /proc/cpuinfo, indexed by processor number.
std::vector<std::optional<double>> ParseCpuinfoMhz(std::string_view cpuinfo);

// The configured speed (MHz) of the first installed memory device (SMBIOS
// type 17) in a raw SMBIOS structure table; 0 when there is none.
uint32_t SmbiosConfiguredMemorySpeed(std::span<const uint8_t> table);

}  // namespace vantrel::agent
