#!/usr/bin/env bash
# The Windows setup program under Wine, in a scratch copy of the project's
# prefix: a silent install leaves the programs in Program Files, the service
# VACSvc running with both workers and the Add/Remove Programs entry; the
# installed client reaches the installed agent; the silent uninstaller takes
# all of it away again.
# Usage: windows_setup.sh SETUP_EXE WINLOGON_STANDIN_EXE VERSION
set -uo pipefail
setup="$1" winlogon="$2" version="$3"

cache="${VANTREL_CACHE:-$HOME/.cache/vantrel}"
base="${WINEPREFIX:-${VANTREL_WINEPREFIX:-$cache/wineprefix}}"
if [ ! -f "$base/.vantrel-ready" ]; then
  echo "no prepared Wine prefix at $base (scripts/setup.sh)" >&2
  exit 1
fi
WINE=wine64
command -v wine64 >/dev/null || WINE=wine

tmp="$(mktemp -d "${TMPDIR:-/tmp}/vantrel-setup.XXXXXX")"
cleanup() {
  # Ends every program of the scratch prefix, then waits for its server.
  wineserver -k 2>/dev/null
  timeout 30 wineserver -w 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
cp -a "$base" "$tmp/prefix"
export WINEPREFIX="$tmp/prefix" WINEDEBUG=-all

# The scratch prefix has its own server, so pipe and mutex names are private;
# the TCP port is the host's, so the agent gets a free one. Services take their
# environment from the system's (the registry), not from whoever started the
# service manager; the manager reads it when the prefix's server starts.
port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
export VANTREL_AGENT_PORT="$port"
timeout 120 "$WINE" reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
  /v VANTREL_AGENT_PORT /d "$port" /f >/dev/null || { echo "cannot set the port in the scratch prefix" >&2; exit 1; }
wineserver -k 2>/dev/null
timeout 60 wineserver -w

dir_unix="$WINEPREFIX/drive_c/Program Files/Vantrel"
dir_win='C:\Program Files\Vantrel'
entry='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Vantrel'
programs=(VantrelCentralService.exe VantrelSysMonitorService.exe VantrelSysHardwareService.exe vantrelctl.exe)

failures=0
passes=0
check() {  # check DESCRIPTION COMMAND...: counts the command's success
  local what="$1"; shift
  if "$@"; then passes=$((passes + 1)); else echo "FAIL: $what" >&2; failures=$((failures + 1)); fi
}
wine_t() { timeout "$1" "$WINE" "${@:2}"; }
# Retries COMMAND every half second until it succeeds or SECONDS pass.
eventually() {
  local seconds="$1"; shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    [ "$SECONDS" -ge "$deadline" ] && return 1
    sleep 0.5
  done
}

ctl_answers_version() { [ "$(wine_t 30 "$dir_win\\vantrelctl.exe" version 2>/dev/null | tr -d '\r')" = "$version" ]; }
ctl_reaches_hardware() { wine_t 30 "$dir_win\\vantrelctl.exe" hw dump 01 >/dev/null 2>&1; }
service_running() { wine_t 30 sc query VACSvc 2>/dev/null | grep -q RUNNING; }
service_absent() { ! wine_t 30 sc query VACSvc >/dev/null 2>&1; }
# The prefix's process names, one a line; fails when the list cannot be had,
# so an absent process is never confused with a failed look. Wine's tasklist
# lists nothing; its wmic answers in UTF-16.
processes() {
  local out
  out="$(wine_t 30 wmic process get Name 2>/dev/null | iconv -f UTF-16 -t UTF-8 | tr -d '\r' | sed 's/ *$//')"
  grep -qx 'Name' <<<"$out" && printf '%s\n' "$out"
}
process_running() { processes | grep -qix "$1"; }
no_process() { local list; list="$(processes)" && ! grep -qix "$1" <<<"$list"; }
reg_value() {  # reg_value KEY NAME
  wine_t 30 reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | grep -E "^ +$2 +REG_" | sed -E 's/^ +[^ ]+ +REG_[A-Z_]+ +//'
}
entry_value() { reg_value "$entry" "$1"; }
entry_absent() { ! wine_t 30 reg query "$entry" >/dev/null 2>&1; }
folder_absent() { [ ! -e "$dir_unix" ]; }
port_closed() { ! python3 -c "import socket,sys; socket.create_connection(('127.0.0.1', $port), 2)" 2>/dev/null; }
equals() { [ "$1" = "$2" ] || { echo "  got \"$1\", expected \"$2\"" >&2; return 1; }; }

# Wine has no winlogon.exe, without which the supervisor starts the hardware
# service in no session; a stand-in with that name takes its place.
"$WINE" "$winlogon" >/dev/null 2>&1 &

echo "installing $setup silently (agent port $port)"
wine_t 180 "$setup" /S
check "the silent install ends with 0" test $? -eq 0
for f in "${programs[@]}" uninstall.exe; do
  check "$f installed" test -f "$dir_unix/$f"
done

check "the uninstall entry's name" equals "$(entry_value DisplayName)" "Vantrel Agent Suite"
check "the uninstall entry's version" equals "$(entry_value DisplayVersion)" "$version"
check "the uninstall entry's publisher" equals "$(entry_value Publisher)" "Vantrel"
check "the uninstall entry's uninstaller" equals "$(entry_value UninstallString)" "\"$dir_win\\uninstall.exe\""
check "the uninstall entry's silent uninstaller" equals "$(entry_value QuietUninstallString)" \
  "\"$dir_win\\uninstall.exe\" /S"

check "the service runs" eventually 30 service_running
# Unquoted, a path with a space would let C:\Program.exe run as the service.
check "the service's program path is quoted" equals \
  "$(reg_value 'HKLM\System\CurrentControlSet\Services\VACSvc' ImagePath)" "\"$dir_win\\VantrelCentralService.exe\""
check "the agent runs" eventually 60 process_running VantrelSysMonitorService.exe
check "the hardware service runs" eventually 60 process_running VantrelSysHardwareService.exe
check "the installed client gets the version from the installed agent" eventually 60 ctl_answers_version
check "the installed client reaches the hardware service" eventually 60 ctl_reaches_hardware

echo "installing again over the running copy"
wine_t 180 "$setup" /S
check "a second install over a running one ends with 0" test $? -eq 0
check "the service runs after the second install" eventually 30 service_running
check "the agent answers after the second install" eventually 60 ctl_answers_version

echo "uninstalling silently"
# As Add/Remove Programs does: the uninstaller hands over to a copy of itself
# and returns at once, so the checks wait for the outcome.
wine_t 60 "$dir_win\\uninstall.exe" /S
check "the silent uninstall starts" test $? -eq 0
check "the install folder is gone" eventually 60 folder_absent
check "the uninstall entry is gone" eventually 30 entry_absent
check "the service is gone" eventually 30 service_absent
check "the agent has ended" eventually 30 no_process VantrelSysMonitorService.exe
check "the hardware service has ended" eventually 30 no_process VantrelSysHardwareService.exe
check "the agent's port is closed" eventually 30 port_closed

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
