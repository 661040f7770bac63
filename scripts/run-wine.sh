#!/usr/bin/env bash
# The same with the Windows programs under Wine: builds them with MinGW, runs
# the hardware service and the monitor agent in a temporary copy of the
# project's Wine prefix (so no registry or file state is left behind), and
# shows `vantrelctl monitor --watch 1` until Ctrl-C; then ends every program of
# that prefix. Environment: VANTREL_BUILD_DIR (default build/windows),
# VANTREL_AGENT_PORT (default 46753).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VANTREL_BUILD_DIR:-$root/build/windows}"
cache="${VANTREL_CACHE:-$HOME/.cache/vantrel}"

# Packages, the MinGW builds of the libraries and the Wine prefix.
"$root/scripts/setup.sh"

cmake -S "$root" -B "$build" --toolchain "$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target VantrelSysHardwareService VantrelSysMonitorService vantrelctl
bin="$build/bin"

if [[ ! -e "$cache/wineprefix/.vantrel-ready" ]]; then
  echo "run-wine: the Wine prefix is not set up yet (scripts/setup.sh)" >&2
  exit 1
fi
tmp="$(mktemp -d "${TMPDIR:-/tmp}/vantrel-wine.XXXXXX")"
cp -a "$cache/wineprefix" "$tmp/prefix"
export WINEPREFIX="$tmp/prefix" WINEDEBUG=-all
WINE=wine64
command -v wine64 >/dev/null || WINE=wine

cleanup() {
  trap - EXIT INT TERM
  wineserver -k 2>/dev/null || true  # ends every program of this prefix
  wineserver -w 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

"$WINE" "$bin/VantrelSysHardwareService.exe" >"$tmp/hardware.log" 2>&1 &
"$WINE" "$bin/VantrelSysMonitorService.exe" >"$tmp/agent.log" 2>&1 &
for _ in $(seq 300); do
  "$WINE" "$bin/vantrelctl.exe" version >/dev/null 2>&1 && break
  sleep 0.2
done

"$WINE" "$bin/vantrelctl.exe" monitor --watch 1 || true
