#include "supervisor/systemd_glue.h"

#include "supervisor/service_base.h"
#include "supervisor/service_instance.h"

namespace vantrel::supervisor {

std::string QuoteExecPath(const std::string& path) {
  std::string out = "\"";
  for (char c : path) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '%') out += '%';
    out += c;
  }
  out += '"';
  return out;
}

std::string BuildUnitFile(const std::string& exe_path) {
  std::string unit;
  unit += "[Unit]\n";
  unit += "Description=Vantrel Agent Service Central\n";
  // Ordering, restart and kill mode as in the packaged unit; the sandbox is
  // left to the package, as a development build may run from anywhere.
  unit += "After=systemd-logind.service dbus.service\n";
  unit += "Wants=systemd-logind.service dbus.service\n";
  unit += "\n[Service]\n";
  unit += "Type=notify\n";
  unit += "ExecStart=" + QuoteExecPath(exe_path) + "\n";
  unit += "Restart=on-failure\n";
  // The workers are the supervisor's children and stay in the unit's control
  // group: a stop, or a supervisor that died, takes them along, so no part of
  // the suite runs on unseen by systemd.
  unit += "KillMode=control-group\n";
  unit += "\n[Install]\n";
  unit += "WantedBy=multi-user.target\n";
  return unit;
}

UnitState ParseUnitState(const std::string& text) {
  std::string s = text;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  if (s == "active") return UnitState::kActive;
  if (s == "inactive") return UnitState::kInactive;
  if (s == "activating") return UnitState::kActivating;
  if (s == "deactivating") return UnitState::kDeactivating;
  if (s == "failed") return UnitState::kFailed;
  if (s == "reloading") return UnitState::kReloading;
  return UnitState::kUnknown;
}

bool UnitAcceptsStop(UnitState state) {
  return state == UnitState::kActive || state == UnitState::kActivating || state == UnitState::kReloading;
}

bool UnitIsStopped(UnitState state) { return state == UnitState::kInactive || state == UnitState::kFailed; }

std::vector<ControlEvent> PrepareForSleepEvents(bool start) {
  if (start) return {{kControlPowerEvent, kPbtApmSuspend, 0}};
  return {{kControlPowerEvent, kPbtApmResumeAutomatic, 0}, {kControlPowerEvent, kPbtApmResumeSuspend, 0}};
}

std::vector<ControlEvent> ActiveSessionEvents(const std::string& old_session, const std::string& new_session) {
  std::vector<ControlEvent> events;
  if (old_session == new_session) return events;
  if (!old_session.empty()) events.push_back({kControlSessionChange, kWtsConsoleDisconnect, SessionNumber(old_session)});
  if (!new_session.empty()) events.push_back({kControlSessionChange, kWtsConsoleConnect, SessionNumber(new_session)});
  return events;
}

uint32_t SessionNumber(const std::string& id) {
  if (!id.empty() && id.size() <= 9 && id.find_first_not_of("0123456789") == std::string::npos) {
    return static_cast<uint32_t>(std::stoul(id));
  }
  uint32_t hash = 2166136261u;  // FNV-1a
  for (unsigned char c : id) {
    hash ^= c;
    hash *= 16777619u;
  }
  return hash | 0x80000000u;
}

}  // namespace vantrel::supervisor
