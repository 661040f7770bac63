// The monitor view of vantrelctl: one screen of figures with units, a time
// stamp, warnings, and sparklines of the last minute. Pure text; the caller
// decides whether frames are redrawn in place or printed one after another.
#pragma once
#include <json/json.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::ctl {

// Recent values of a few series, each kept for `window`.
class MonitorHistory {
 public:
  using Clock = std::chrono::steady_clock;
  explicit MonitorHistory(std::chrono::seconds window = std::chrono::seconds(60)) : window_(window) {}
  // Records the series the report carries; a missing reading leaves a gap.
  void Add(Clock::time_point at, const Json::Value& data);
  // Values of one series, oldest first ("cpu", "cpu_temp", "gpu_temp", "cpu_fan", "gpu_fan").
  std::vector<double> Series(const std::string& name) const;
  std::chrono::seconds window() const { return window_; }

 private:
  struct Point {
    Clock::time_point at;
    double value;
  };
  static constexpr size_t kMaxPoints = 1200;  // 0.05 s steps over a minute
  std::chrono::seconds window_;
  std::map<std::string, std::deque<Point>> series_;
};

// One character per value (at most `width`; longer series are averaged down),
// scaled between `low` and `high` (when not given: the series' own range).
std::string Sparkline(const std::vector<double>& values, size_t width, bool unicode,
                      std::optional<double> low = std::nullopt, std::optional<double> high = std::nullopt);

struct MonitorViewContext {
  std::string timestamp;                  // local time of the reading
  std::string source;                     // "127.0.0.1:46753"
  double interval_seconds = 0;            // 0: a single reading
  bool unicode = false;                   // degree sign and block characters
  std::optional<double> system_max_clock; // MHz, from the system
  bool simulated_firmware = false;
  std::string machine_control;            // "profile balanced, fan 1 auto 30 %"; empty: unknown
};

// The hardware service's readings are absent from the report: the service is
// not answering (or the machine's firmware offers none).
bool HardwareReadingsMissing(const Json::Value& data);

std::vector<std::string> RenderMonitorView(const Json::Value& data, const MonitorHistory& history,
                                           const MonitorViewContext& context);

// The escape sequence that puts the cursor back over a frame of `lines`
// lines and clears from there down.
std::string RedrawPrefix(size_t lines);

}  // namespace vantrel::ctl
