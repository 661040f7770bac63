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
# Wine keeps the folder of its server sockets in the prefix's "wineserver"
# file and names each server by the prefix folder's device and inode. A copy
# would share that folder with every other copy, and a new copy can get the
# inode of a deleted one whose server still runs (kept alive by its desktop
# process): the programs would then join that foreign session and wait there.
# Without the file the copy gets a server folder of its own.
rm -f "$tmp/prefix/wineserver"
export WINEPREFIX="$tmp/prefix" WINEDEBUG=-all
WINE=wine64
command -v wine64 >/dev/null || WINE=wine

cleanup() {
  trap - EXIT INT TERM
  wineserver -k 2>/dev/null || true  # ends every program of this prefix
  wineserver -w 2>/dev/null || true
  local server_dir
  server_dir="$(cat "$WINEPREFIX/wineserver" 2>/dev/null || true)"
  case "$server_dir" in
    wine-??????) rm -rf "${TMPDIR:-/tmp}/$server_dir" ;;
  esac
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

# The session's system processes (services, the desktop) start with the first
# program and inherit its standard streams; start them on nothing, so no
# reader of this script's output waits for them after the programs end.
# The server is kept until the clean-up ends it, so they stay up.
wineserver -p </dev/null >/dev/null 2>&1 || true
"$WINE" wineboot </dev/null >/dev/null 2>&1 || true
"$WINE" "$bin/VantrelSysHardwareService.exe" </dev/null >"$tmp/hardware.log" 2>&1 &
"$WINE" "$bin/VantrelSysMonitorService.exe" </dev/null >"$tmp/agent.log" 2>&1 &
for _ in $(seq 300); do
  "$WINE" "$bin/vantrelctl.exe" version >/dev/null 2>&1 && break
  sleep 0.2
done

"$WINE" "$bin/vantrelctl.exe" monitor --watch 1 || true
