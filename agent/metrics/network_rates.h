// Ethernet and Wi-Fi throughput from two snapshots of the interface table.
// Portable: the platform readers only fill InterfaceRow records.
#pragma once
#include <cstdint>
#include <span>

namespace vantrel::agent {

inline constexpr uint32_t kIfTypeEthernet = 6;   // IF_TYPE_ETHERNET_CSMACD
inline constexpr uint32_t kIfTypeWifi = 71;      // IF_TYPE_IEEE80211

// One row of the interface table, reduced to what the meter tests.
struct InterfaceRow {
  bool hardware = false;           // a physical interface, not a virtual or filter one
  bool connector_present = false;  // cable socket or radio present
  bool up = false;                 // operational status up
  uint32_t type = 0;               // kIfTypeEthernet, kIfTypeWifi, anything else
  uint64_t in_octets = 0;
  uint64_t out_octets = 0;
};

struct NetworkSums {
  double wifi_received = 0;
  double wifi_sent = 0;
  double ethernet_received = 0;
  double ethernet_sent = 0;
};

// Sums the rows that are physical, have their connector and are up, by type.
NetworkSums SumInterfaces(std::span<const InterfaceRow> rows);

struct NetworkRates {
  double ethernet_upload = 0;    // kibibits per second
  double ethernet_download = 0;
  double wifi_upload = 0;
  double wifi_download = 0;
};

// The baseline: four byte totals and the time (100 ns ticks) they were taken.
class NetworkBaseline {
 public:
  // Moves the baseline to `sums` at `now_ticks`; a sum of 0 keeps the previous
  // total, so an adapter that goes away gives a difference of 0.
  void Update(const NetworkSums& sums, int64_t now_ticks);
  // Rates from the current baseline to `sums` at `now_ticks`, then moves the
  // baseline. When less than half a second passed the old baseline is kept, so
  // the next call measures from the older point.
  NetworkRates Advance(const NetworkSums& sums, int64_t now_ticks);

  const NetworkSums& sums() const { return sums_; }
  int64_t ticks() const { return ticks_; }

 private:
  NetworkSums sums_;
  int64_t ticks_ = 0;
};

}  // namespace vantrel::agent
