#!/usr/bin/env bash
# The real executable under Wine with no unit attached: it starts, writes the line that Wine's
# configuration manager leads to, paints the no-unit text, leaves a planted winusb.dll and
# cfgmgr32.dll beside it alone, and exits with code 1 when its window is closed.
# Usage: smoke-test.sh UPDATER_EXE WINDOW_PROBE_EXE PLANTED_DLL
# Environment: WINEPREFIX, the end-to-end tests' prefix: without their DLL override the
# program gets Wine's own winusb.dll and cfgmgr32.dll there.
set -euo pipefail
updater=$1
TAVIK_PROBE=$2
planted_dll=$3
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../e2e/lib.sh"

work=$(mktemp -d)
trap 'stop_wine; rm -rf "$work"' EXIT
ensure_display
export WINEPREFIX=${WINEPREFIX:?} WINEDLLOVERRIDES="mscoree,mshtml="

# The updater in a folder of its own, next to DLLs that Wine's loader trace would name if loaded.
mkdir -p "$work/app"
cp "$updater" "$work/app/TavikUpdater.exe"
cp "$planted_dll" "$work/app/winusb.dll"
cp "$planted_dll" "$work/app/cfgmgr32.dll"

fail() { echo "FAIL: $*"; echo "--- stdout"; cat "$work/stdout.txt" || true; exit 1; }

cd "$work/app"
WINEDEBUG=-all,+text,+loaddll wine TavikUpdater.exe >"$work/stdout.txt" 2>"$work/stderr.txt" &
app=$!

probe wait-window 30000 || fail "no window appeared"
probe dump >"$work/dump.txt"
cat "$work/dump.txt"
grep -q 'title="Zerrow Tavik Updater (Sept 2023)"' "$work/dump.txt" || fail "title"
grep -q 'size=500x160' "$work/dump.txt" || fail "outer size"
grep -q 'id=102 caption="OK" visible=0' "$work/dump.txt" || fail "hidden OK button"
grep -q 'visible=1' <(grep '^control' "$work/dump.txt") && fail "a control is visible"

no_unit='No Tavik in update mode. Hold MON on IN 2 and power on device.'
for i in $(seq 1 50); do
    grep -q "DrawTextExW L\"$no_unit\"" "$work/stderr.txt" && break
    sleep 0.1
done
grep -q "DrawTextExW L\"$no_unit\"" "$work/stderr.txt" || fail "no-unit text not painted"
grep -q 'DrawTextExW L"Loading..."' "$work/stderr.txt" && fail "Loading... was painted"

probe close
set +e
wait "$app"
code=$?
set -e
echo "exit code $code"
[ "$code" -eq 1 ] || fail "exit code $code, not 1"

echo "--- stdout"
cat "$work/stdout.txt"
# The C runtime writes text-mode output: each line ends in CR LF.
tr -d '\r' <"$work/stdout.txt" |
    grep -qxE 'Device not connected or driver not installed|Failed looking for device, HRESULT 0x[0-9a-f]+' ||
    fail "no lookup line on standard output"
grep -iE 'Loaded L"[^"]*[\\]app[\\]+(winusb|cfgmgr32)\.dll"' "$work/stderr.txt" &&
    fail "a planted DLL was loaded"
echo "smoke test passed"
