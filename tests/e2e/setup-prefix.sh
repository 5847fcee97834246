#!/usr/bin/env bash
# A fresh Wine prefix for the end-to-end scenarios: the simulated unit's winusb.dll, cfgmgr32.dll
# and taviksimunit.dll in its system directory (the updater loads them only from there, and only
# with the DLL override that run-scenario.sh sets), and a virtual desktop, so that Wine draws the
# window's caption and frame as Windows does and a screenshot shows the whole window.
# Usage: setup-prefix.sh PREFIX SIM_DLL_DIR
set -euo pipefail
prefix=$(realpath -m "$1")
dlls=$2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
trap stop_wine EXIT

fresh_prefix "$prefix"
cp "$dlls/taviksimunit.dll" "$dlls/winusb.dll" "$dlls/cfgmgr32.dll" \
    "$prefix/drive_c/windows/system32/"
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 640x240 /f >/dev/null 2>&1
wineserver -w
echo "Wine prefix ready: $prefix"
