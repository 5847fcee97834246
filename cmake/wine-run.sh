#!/usr/bin/env bash
# Runs a cross-built Windows executable under Wine.
# WINEPREFIX defaults to a prefix beside the build tree, so that parallel builds never share one.
set -euo pipefail
: "${WINEPREFIX:=${TAVIK_WINEPREFIX:-$PWD/.wineprefix}}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wine wineboot -i >/dev/null 2>&1 || true
fi
exec wine "$@"
