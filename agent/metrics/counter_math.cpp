#include "agent/metrics/counter_math.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

#include "common/smbios.h"

namespace vantrel::agent {

double FrequencyFromPerformance(double performance_percent, uint32_t max_clock_mhz) {
  // Tested on the reading, so a failed one is -1.0 even with a clock of 0.
  if (performance_percent < 0.0) return -1.0;
  double mhz = performance_percent / 100.0 * static_cast<double>(max_clock_mhz);
  if (!std::isfinite(mhz)) return -1.0;
  return mhz;
}

double RamUsagePercent(double total_mb, double available_mb) {
  if (!(total_mb > 0.0)) return 0.0;
  double used = available_mb == -1.0 ? -1.0 : total_mb - available_mb;
  double percent = used / total_mb * 100.0;
  return std::isfinite(percent) ? percent : 0.0;
}

namespace {

std::string_view NextLine(std::string_view& text) {
  size_t end = text.find('\n');
  std::string_view line = text.substr(0, end);
  text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  return line;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool ParseU64(std::string_view s, uint64_t* out) {
  s = Trim(s);
  if (s.empty()) return false;
  auto r = std::from_chars(s.data(), s.data() + s.size(), *out);
  return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

}  // namespace

std::optional<CpuTimes> ParseProcStatTotal(std::string_view proc_stat) {
  while (!proc_stat.empty()) {
    std::string_view line = NextLine(proc_stat);
    if (line.size() < 4 || line.substr(0, 4) != "cpu ") continue;
    line.remove_prefix(4);
    // user nice system idle iowait irq softirq steal (guest time is inside user/nice)
    uint64_t fields[8] = {};
    size_t n = 0;
    while (n < 8) {
      line = Trim(line);
      if (line.empty()) break;
      size_t sp = line.find(' ');
      if (!ParseU64(line.substr(0, sp), &fields[n])) return std::nullopt;
      ++n;
      line = sp == std::string_view::npos ? std::string_view() : line.substr(sp);
    }
    if (n < 4) return std::nullopt;
    CpuTimes t;
    // No real counter set sums past 64 bits; a wrapped total would make busy
    // larger than total and the usage nonsense, so such a line is damaged.
    for (size_t i = 0; i < n; ++i) {
      if (__builtin_add_overflow(t.total, fields[i], &t.total)) return std::nullopt;
    }
    uint64_t idle = fields[3] + (n > 4 ? fields[4] : 0);
    t.busy = t.total - idle;
    return t;
  }
  return std::nullopt;
}

std::optional<double> ProcessorTimePercent(const CpuTimes& before, const CpuTimes& after) {
  if (after.total <= before.total) return std::nullopt;
  if (after.busy < before.busy) return 0.0;
  double percent = static_cast<double>(after.busy - before.busy) /
                   static_cast<double>(after.total - before.total) * 100.0;
  return percent > 100.0 ? 100.0 : percent;
}

std::optional<uint64_t> ParseMeminfoKb(std::string_view meminfo, std::string_view key) {
  while (!meminfo.empty()) {
    std::string_view line = NextLine(meminfo);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || line.substr(0, colon) != key) continue;
    std::string_view value = Trim(line.substr(colon + 1));
    size_t sp = value.find(' ');
    uint64_t kb = 0;
    if (!ParseU64(value.substr(0, sp), &kb)) return std::nullopt;
    return kb;
  }
  return std::nullopt;
}

std::vector<std::optional<double>> ParseCpuinfoMhz(std::string_view cpuinfo) {
  std::vector<std::optional<double>> result;
  long current = -1;
  while (!cpuinfo.empty()) {
    std::string_view line = NextLine(cpuinfo);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view key = Trim(line.substr(0, colon));
    std::string_view value = Trim(line.substr(colon + 1));
    if (key == "processor") {
      uint64_t n = 0;
      current = ParseU64(value, &n) && n < 4096 ? static_cast<long>(n) : -1;
      if (current >= 0 && result.size() <= static_cast<size_t>(current)) result.resize(current + 1);
    } else if (key == "cpu MHz" && current >= 0) {
      std::string text(value);
      char* end = nullptr;
      double mhz = std::strtod(text.c_str(), &end);
      if (end != text.c_str() && std::isfinite(mhz) && mhz > 0.0) result[current] = mhz;
    }
  }
  return result;
}

uint32_t SmbiosConfiguredMemorySpeed(std::span<const uint8_t> table) {
  constexpr uint8_t kMemoryDevice = 17;
  uint32_t found = 0;
  smbios::Walk(table, [&found](std::span<const uint8_t> s) {
    if (s[0] != kMemoryDevice || s.size() < 0x22) return false;
    const uint16_t size = static_cast<uint16_t>(s[0x0C] | s[0x0D] << 8);
    const uint16_t speed = static_cast<uint16_t>(s[0x20] | s[0x21] << 8);
    uint32_t mhz = speed;
    if (speed == 0xFFFF && s.size() >= 0x5C) {
      mhz = static_cast<uint32_t>(s[0x58] | s[0x59] << 8 | s[0x5A] << 16 | s[0x5B] << 24);
    }
    // Size 0 is an empty slot; a speed of 0 is "unknown" (no property in WMI terms).
    if (size == 0 || mhz == 0 || mhz == 0xFFFF) return false;
    found = mhz;
    return true;
  });
  return found;
}

}  // namespace vantrel::agent
