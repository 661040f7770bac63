// Pieces of the Linux service port that are plain logic: the unit file, the
// unit states, and logind's signals turned into the service controls that
// Windows delivers.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::supervisor {

inline constexpr char kUnitName[] = "VACSvc.service";

// The development unit: Type=notify after logind and D-Bus, restart on failure,
// the workers in the unit's control group, ExecStart the program's own path.
std::string BuildUnitFile(const std::string& exe_path);
// A path as one ExecStart word: quoted, with '\', '"' escaped and '%' doubled.
std::string QuoteExecPath(const std::string& path);

// ActiveState of a unit, as `systemctl show -p ActiveState --value` prints it.
enum class UnitState { kUnknown, kActive, kInactive, kActivating, kDeactivating, kFailed, kReloading };
UnitState ParseUnitState(const std::string& text);
// The stop control is accepted only by a unit that runs.
bool UnitAcceptsStop(UnitState state);
// A stopped unit: inactive, or failed (its process has ended).
bool UnitIsStopped(UnitState state);

struct ControlEvent {
  uint32_t control;
  uint32_t event_type;
  uint32_t session_id;
  bool operator==(const ControlEvent&) const = default;
};

// PrepareForSleep(true) is a suspend; PrepareForSleep(false) the automatic
// resume followed by the resume from suspend, as Windows reports a wake-up.
std::vector<ControlEvent> PrepareForSleepEvents(bool start);
// The seat's active session changed: the old one disconnects from the console,
// the new one connects. Empty ids mean no session.
std::vector<ControlEvent> ActiveSessionEvents(const std::string& old_session, const std::string& new_session);
// logind session ids are text ("3", "c2"); numeric ones keep their number, the
// others get a stable number with the top bit set so they never collide.
uint32_t SessionNumber(const std::string& id);

}  // namespace vantrel::supervisor
