#!/usr/bin/env bash
# Runs a Windows program under the project's private Wine prefix (ctest's emulator).
#
# The first Windows program of a Wine session starts the session's system
# processes (services.exe, rpcss.exe, explorer.exe /desktop, ...), and they
# inherit its standard output and error. They live as long as any other program
# runs in the same prefix, so whoever reads the program's output through a pipe
# (ctest) would wait for them, not for the program. The program therefore
# writes into files that are passed on once it has ended.
CACHE="${VANTREL_CACHE:-$HOME/.cache/vantrel}"
export WINEPREFIX="${WINEPREFIX:-${VANTREL_WINEPREFIX:-$CACHE/wineprefix}}"
export WINEDEBUG="${WINEDEBUG:--all}"
WINE=wine64
command -v wine64 >/dev/null || WINE=wine

out="$(mktemp "${TMPDIR:-/tmp}/vantrel-wine-out.XXXXXX")"
err="$(mktemp "${TMPDIR:-/tmp}/vantrel-wine-err.XXXXXX")"
pass_on() {
  cat "$out"
  cat "$err" >&2
  rm -f "$out" "$err"
}
trap pass_on EXIT
# ctest ends a test that overruns with a signal: the output so far still counts.
trap 'exit 143' TERM
trap 'exit 130' INT

"$WINE" "$@" >"$out" 2>"$err"
