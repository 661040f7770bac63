#include "tools/monitor_view.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace vantrel::ctl {
namespace {

// Report keys of the hardware service's readings; all absent means it did not answer.
constexpr const char* kHardwareKeys[] = {"CPU_TEMPERATURE", "CPU_FANSPEED", "SYS1_TEMPERATURE", "SYS1_FANSPEED",
                                         "GPU1_FANSPEED",   "GPU2_FANSPEED"};

struct SeriesKey {
  const char* name;
  const char* key;
};
constexpr SeriesKey kSeries[] = {{"cpu", "CPU_USAGE"},
                                 {"cpu_temp", "CPU_TEMPERATURE"},
                                 {"gpu_temp", "GPU1_TEMPERATURE"},
                                 {"cpu_fan", "CPU_FANSPEED"},
                                 {"gpu_fan", "GPU1_FANSPEED"}};

// The agent fills a reading it could not take with -1, or with an integer 0
// where its source (the counters, the GPU while asleep) is unavailable.
std::optional<double> Reading(const Json::Value& v, bool zero_is_missing = false) {
  if (!v.isNumeric()) return std::nullopt;
  const double d = v.asDouble();
  if (d < 0 || (zero_is_missing && d == 0)) return std::nullopt;
  return d;
}

std::string Figure(std::optional<double> value, const char* unit, int decimals) {
  if (!value) return "n/a";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f %s", decimals, *value, unit);
  return text;
}

std::string Line(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Line(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

bool CountersUnavailable(const Json::Value& d) { return !d.isMember("CPU_MAX_FREQUENCY"); }

// Counter figures are integer 0 when the counters are unavailable.
std::optional<double> CounterReading(const Json::Value& d, const char* key) {
  if (CountersUnavailable(d)) return std::nullopt;
  return Reading(d[key]);
}

void AddCpuRows(const Json::Value& d, const MonitorViewContext& c, std::vector<std::string>& out) {
  std::string max = "n/a";
  if (c.system_max_clock) {
    max = Figure(c.system_max_clock, "MHz", 0);
  } else if (d["CPU_MAX_FREQUENCY"].isNumeric()) {
    max = Figure(Reading(d["CPU_MAX_FREQUENCY"]), "MHz", 0) + " (agent's fixed figure)";
  }
  const Json::Value& n = d["CPU_CORE_AMOUNT"];
  out.push_back(Line("%-9s usage %-10s clock %-13s max %-12s cores %s", "CPU",
                     Figure(CounterReading(d, "CPU_USAGE"), "%", 1).c_str(),
                     Figure(CounterReading(d, "CPU_FREQUENCY"), "MHz", 1).c_str(), max.c_str(),
                     n.isNumeric() ? std::to_string(n.asLargestInt()).c_str() : "n/a"));
  const Json::Value& cores = d["CPU_CORE_FREQUENCY"];
  if (!cores.isArray()) return;
  std::string row;
  for (Json::ArrayIndex i = 0; i < cores.size(); ++i) {
    row += Line("  core %-3u %-12s", i, Figure(Reading(cores[i]), "MHz", 1).c_str());
    if (i % 4 == 3 || i + 1 == cores.size()) {
      row.erase(row.find_last_not_of(' ') + 1);
      out.push_back(row);
      row.clear();
    }
  }
}

void AddMemoryAndNetworkRows(const Json::Value& d, std::vector<std::string>& out) {
  out.push_back(Line("%-9s usage %-10s total %-13s clock %s", "Memory",
                     Figure(CounterReading(d, "RAM_USAGE"), "%", 1).c_str(),
                     Figure(Reading(d["RAM_TOTAL"], true), "MiB", 0).c_str(),
                     Figure(Reading(d["RAM_FREQUENCY"], true), "MHz", 0).c_str()));
  // All four rates are integer 0 when the interface table is unavailable.
  bool rates = false;
  for (const char* k : {"ETHERNET_UPLOAD", "ETHERNET_DOWNLOAD", "WIFI_UPLOAD", "WIFI_DOWNLOAD"}) {
    rates = rates || d[k].type() == Json::realValue;
  }
  auto rate = [&](const char* k) { return Figure(rates ? Reading(d[k]) : std::nullopt, "Kib/s", 1); };
  out.push_back(Line("%-9s Ethernet  up %-14s down %s", "Network", rate("ETHERNET_UPLOAD").c_str(),
                     rate("ETHERNET_DOWNLOAD").c_str()));
  out.push_back(Line("%-9s Wi-Fi     up %-14s down %s", "", rate("WIFI_UPLOAD").c_str(), rate("WIFI_DOWNLOAD").c_str()));
}

void AddHardwareRows(const Json::Value& d, const MonitorViewContext& c, std::vector<std::string>& out) {
  const char* degrees = c.unicode ? "\xC2\xB0" "C" : "C";
  const bool missing = HardwareReadingsMissing(d);
  const bool gpu_awake = !missing && d["GPU1_IDLE_STATUS"].isNumeric() && d["GPU1_IDLE_STATUS"].asInt() == 1;
  auto temp = [&](const char* k, bool ok = true) { return Figure(ok ? Reading(d[k]) : std::nullopt, degrees, 0); };
  auto fan = [&](const char* k) { return Figure(Reading(d[k]), "RPM", 0); };
  out.push_back(Line("%-9s CPU %-9s system %-9s GPU1 %s", "Temps", temp("CPU_TEMPERATURE").c_str(),
                     temp("SYS1_TEMPERATURE").c_str(), temp("GPU1_TEMPERATURE", gpu_awake).c_str()));
  out.push_back(Line("%-9s CPU %-9s system %-9s GPU1 %-9s GPU2 %s", "Fans", fan("CPU_FANSPEED").c_str(),
                     fan("SYS1_FANSPEED").c_str(), fan("GPU1_FANSPEED").c_str(), fan("GPU2_FANSPEED").c_str()));
  if (missing) {
    out.push_back(Line("%-9s n/a", "GPU1"));
  } else if (!gpu_awake) {
    out.push_back(Line("%-9s idle status 0: no readings while the GPU sleeps", "GPU1"));
  } else {
    out.push_back(Line("%-9s usage %-7s clock %-10s max %s", "GPU1", Figure(Reading(d["GPU1_USAGE"]), "%", 0).c_str(),
                       Figure(Reading(d["GPU1_FREQUENCY"]), "MHz", 0).c_str(),
                       Figure(Reading(d["GPU1_MAX_FREQUENCY"]), "MHz", 0).c_str()));
  }
}

void AddHistoryRows(const Json::Value& d, const MonitorHistory& h, const MonitorViewContext& c,
                    std::vector<std::string>& out) {
  constexpr size_t kWidth = 60;
  const char* degrees = c.unicode ? "\xC2\xB0" "C" : "C";
  struct Row {
    const char* label;
    const char* series;
    const char* key;
    const char* unit;
    std::optional<double> low, high;
  };
  const Row rows[] = {{"CPU usage", "cpu", "CPU_USAGE", "%", 0.0, 100.0},
                      {"CPU temp", "cpu_temp", "CPU_TEMPERATURE", degrees, std::nullopt, std::nullopt},
                      {"GPU temp", "gpu_temp", "GPU1_TEMPERATURE", degrees, std::nullopt, std::nullopt},
                      {"CPU fan", "cpu_fan", "CPU_FANSPEED", "RPM", std::nullopt, std::nullopt},
                      {"GPU fan", "gpu_fan", "GPU1_FANSPEED", "RPM", std::nullopt, std::nullopt}};
  out.push_back(Line("History (last %lld s)", static_cast<long long>(h.window().count())));
  for (const Row& r : rows) {
    const std::vector<double> values = h.Series(r.series);
    if (values.empty()) continue;
    out.push_back(Line("  %-10s %-*s %s", r.label, static_cast<int>(kWidth),
                       Sparkline(values, kWidth, c.unicode, r.low, r.high).c_str(),
                       Figure(Reading(d[r.key]), r.unit, std::string(r.unit) == "%" ? 1 : 0).c_str()));
  }
}

}  // namespace

void MonitorHistory::Add(Clock::time_point at, const Json::Value& data) {
  for (const SeriesKey& s : kSeries) {
    std::deque<Point>& points = series_[s.name];
    const bool counter = std::string(s.key) == "CPU_USAGE";
    const std::optional<double> v = counter ? CounterReading(data, s.key) : Reading(data[s.key]);
    if (v) points.push_back({at, *v});
    while (!points.empty() && (points.front().at < at - window_ || points.size() > kMaxPoints)) points.pop_front();
  }
}

std::vector<double> MonitorHistory::Series(const std::string& name) const {
  std::vector<double> out;
  auto it = series_.find(name);
  if (it == series_.end()) return out;
  for (const Point& p : it->second) out.push_back(p.value);
  return out;
}

std::string Sparkline(const std::vector<double>& values_in, size_t width, bool unicode, std::optional<double> low,
                      std::optional<double> high) {
  static const char* const kBlocks[] = {"\xE2\x96\x81", "\xE2\x96\x82", "\xE2\x96\x83", "\xE2\x96\x84",
                                        "\xE2\x96\x85", "\xE2\x96\x86", "\xE2\x96\x87", "\xE2\x96\x88"};
  static const char kAscii[] = "_.-:=+*#";
  if (values_in.empty() || width == 0) return "";
  // More values than columns: each column is the mean of its share.
  std::vector<double> values;
  if (values_in.size() <= width) {
    values = values_in;
  } else {
    for (size_t col = 0; col < width; ++col) {
      const size_t from = col * values_in.size() / width;
      const size_t to = std::max(from + 1, (col + 1) * values_in.size() / width);
      double sum = 0;
      for (size_t i = from; i < to; ++i) sum += values_in[i];
      values.push_back(sum / static_cast<double>(to - from));
    }
  }
  const auto [min_it, max_it] = std::minmax_element(values.begin(), values.end());
  const double lo = low.value_or(*min_it);
  const double hi = high.value_or(*max_it);
  std::string out;
  for (double v : values) {
    // A flat series sits in the middle rather than at the floor.
    double f = hi > lo ? (std::clamp(v, lo, hi) - lo) / (hi - lo) : 0.5;
    const int level = std::clamp(static_cast<int>(std::lround(f * 7.0)), 0, 7);
    if (unicode) {
      out += kBlocks[level];
    } else {
      out += kAscii[level];
    }
  }
  return out;
}

bool HardwareReadingsMissing(const Json::Value& data) {
  for (const char* k : kHardwareKeys) {
    if (data.isMember(k)) return false;
  }
  return true;
}

std::vector<std::string> RenderMonitorView(const Json::Value& d, const MonitorHistory& history,
                                           const MonitorViewContext& c) {
  std::vector<std::string> out;
  std::string title = "Vantrel monitor  " + c.source + "  " + c.timestamp;
  if (c.interval_seconds > 0) title += Line("  every %g s", c.interval_seconds);
  out.push_back(title);
  if (HardwareReadingsMissing(d)) {
    out.push_back("! The hardware service is not answering: no temperatures, fans or GPU readings");
  }
  if (c.simulated_firmware) out.push_back("Firmware: SIMULATED (temperatures and fans are not real readings)");
  if (!c.machine_control.empty()) out.push_back("Control: " + c.machine_control);
  AddCpuRows(d, c, out);
  AddMemoryAndNetworkRows(d, out);
  AddHardwareRows(d, c, out);
  if (c.interval_seconds > 0) AddHistoryRows(d, history, c, out);
  return out;
}

std::string RedrawPrefix(size_t lines) {
  // Cursor to the first column, up over the old frame, then clear to the end of the screen.
  if (lines == 0) return "";
  return "\r\x1b[" + std::to_string(lines) + "A\x1b[J";
}

}  // namespace vantrel::ctl
