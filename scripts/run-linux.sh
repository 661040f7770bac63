#!/usr/bin/env bash
# Builds the Linux programs, starts the hardware service and the monitor agent
# with temporary state and runtime folders, and shows the agent's telemetry with
# `vantrelctl monitor --watch 1` until Ctrl-C; then stops both programs.
# The firmware backend is "hwmon" where the machine has temperature sensors,
# else "sim". Environment: VANTREL_BUILD_DIR (default build/linux),
# VANTREL_AGENT_PORT (default 46753).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VANTREL_BUILD_DIR:-$root/build/linux}"

# A fresh machine has none of the build's packages yet.
"$root/scripts/setup.sh" --linux-only

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target VantrelSysHardwareService VantrelSysMonitorService vantrelctl
bin="$build/bin"

tmp="$(mktemp -d "${TMPDIR:-/tmp}/vantrel-run.XXXXXX")"
export VANTREL_RUNTIME_DIR="$tmp/run" VANTREL_STATE_DIR="$tmp/state" PROGRAMDATA="$tmp/programdata"
export VANTREL_CONFIG="$tmp/vantrel.conf"
mkdir -p "$VANTREL_RUNTIME_DIR" "$VANTREL_STATE_DIR" "$PROGRAMDATA"

pids=()
cleanup() {
  trap - EXIT INT TERM
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

backend=sim
if compgen -G "/sys/class/hwmon/hwmon*/temp*_input" >/dev/null; then backend=hwmon; fi

# The backend comes from the platform configuration file, never from the
# registry store that pipe clients write.
printf '[Platform]\nFirmwareBackend=%s\n' "$backend" >"$VANTREL_CONFIG"

# Their debug lines go to a log file, so the terminal shows only the telemetry.
"$bin/VantrelSysHardwareService" >"$tmp/hardware.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  "$bin/vantrelctl" hw dump >/dev/null 2>&1 && break
  sleep 0.1
done
echo "hardware service: firmware backend \"$backend\"" >&2

"$bin/VantrelSysMonitorService" >"$tmp/agent.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  "$bin/vantrelctl" version >/dev/null 2>&1 && break
  sleep 0.1
done

"$bin/vantrelctl" monitor --watch 1 || true
