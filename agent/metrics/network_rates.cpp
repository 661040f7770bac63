#include "agent/metrics/network_rates.h"

namespace vantrel::agent {

NetworkSums SumInterfaces(std::span<const InterfaceRow> rows) {
  NetworkSums s;
  for (const InterfaceRow& row : rows) {
    if (!row.hardware || !row.connector_present || !row.up) continue;
    if (row.type == kIfTypeEthernet) {
      s.ethernet_received += static_cast<double>(row.in_octets);
      s.ethernet_sent += static_cast<double>(row.out_octets);
    } else if (row.type == kIfTypeWifi) {
      s.wifi_received += static_cast<double>(row.in_octets);
      s.wifi_sent += static_cast<double>(row.out_octets);
    }
  }
  return s;
}

void NetworkBaseline::Update(const NetworkSums& sums, int64_t now_ticks) {
  if (sums.wifi_received != 0) sums_.wifi_received = sums.wifi_received;
  if (sums.wifi_sent != 0) sums_.wifi_sent = sums.wifi_sent;
  if (sums.ethernet_received != 0) sums_.ethernet_received = sums.ethernet_received;
  if (sums.ethernet_sent != 0) sums_.ethernet_sent = sums.ethernet_sent;
  ticks_ = now_ticks;
}

namespace {

// A counter that went backwards (driver reload, an adapter of the same type
// coming or going) would give a negative rate for one report; report 0 instead.
// Two snapshots in the same tick would divide by zero and write inf into the
// JSON; that also reports 0.
double Rate(double before, double after, double seconds) {
  if (!(seconds > 0.0) || after < before) return 0.0;
  return (after - before) * 8.0 * (1.0 / 1024.0) / seconds;
}

}  // namespace

NetworkRates NetworkBaseline::Advance(const NetworkSums& sums, int64_t now_ticks) {
  NetworkSums old_sums = sums_;
  int64_t old_ticks = ticks_;
  Update(sums, now_ticks);
  double seconds = static_cast<double>(ticks_ - old_ticks) / 10000000.0;
  NetworkRates r;
  r.ethernet_upload = Rate(old_sums.ethernet_sent, sums_.ethernet_sent, seconds);
  r.ethernet_download = Rate(old_sums.ethernet_received, sums_.ethernet_received, seconds);
  r.wifi_upload = Rate(old_sums.wifi_sent, sums_.wifi_sent, seconds);
  r.wifi_download = Rate(old_sums.wifi_received, sums_.wifi_received, seconds);
  if (seconds < 0.5) {
    sums_ = old_sums;
    ticks_ = old_ticks;
  }
  return r;
}

}  // namespace vantrel::agent
