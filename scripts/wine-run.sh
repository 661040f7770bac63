#!/usr/bin/env bash
# Runs a Windows program under the project's private Wine prefix (ctest's emulator).
CACHE="${VANTREL_CACHE:-$HOME/.cache/vantrel}"
export WINEPREFIX="${VANTREL_WINEPREFIX:-$CACHE/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
exec wine64 "$@"
