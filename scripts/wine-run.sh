#!/usr/bin/env bash
# Runs a Windows program under the project's private Wine prefix (ctest's emulator).
CACHE="${VANTREL_CACHE:-$HOME/.cache/vantrel}"
export WINEPREFIX="${WINEPREFIX:-${VANTREL_WINEPREFIX:-$CACHE/wineprefix}}"
export WINEDEBUG="${WINEDEBUG:--all}"
WINE=wine64
command -v wine64 >/dev/null || WINE=wine
exec "$WINE" "$@"
