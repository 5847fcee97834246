#!/usr/bin/env bash
# Runs one command-line scenario: the real tavik-cli against the unit of the scenario's [unit]
# section, then checks what it printed, its exit code, the requests the unit saw and the image
# it holds. On Linux the unit is on the emulated USB bus and the program reaches it through the
# real libusb (tavik-usb-host); for tavik-cli.exe it runs under Wine with the simulated unit's
# replacement winusb.dll and cfgmgr32.dll (the prefix of ../e2e/setup-prefix.sh).
#
# Usage: run-cli.sh SCENARIO OUT_DIR
# Environment: TAVIK_CLI (tavik-cli or tavik-cli.exe), TAVIK_IMAGES (folder of firmware-10N.bin),
# and TAVIK_USB_HOST (Linux) or WINEPREFIX (Windows).
#
# [run] lines:
#   args WORDS      the command line after the program's name
#   exit CODE       the exit code
#   log TEXT        one line of standard output; all of them, in order, and no others. A phase's
#                   duration reads "in # s".
#   wire, stored    as in ../e2e/run-scenario.sh; wire-N, stored-N for the unit of the Nth
#                   [unit] section of a scenario with several (Linux only)
#   together WORDS  instead of args, one line a process: the processes run side by side, each
#                   must end with the code of exit, and log-N lines are the standard output of
#                   the Nth (in OUT_DIR/stdout-N.txt; stderr-N.txt) as log lines are of one
# OUT_DIR receives stdout.txt (as compared), stdout-raw.txt, stderr.txt, wire.log and the images.
set -euo pipefail
scenario=$(realpath "$1")
out=$(realpath -m "$2")
here=$(cd "$(dirname "$0")" && pwd)
name=$(basename "$scenario" .scn)
source "$here/../e2e/checks.sh"

rm -rf "$out"
mkdir -p "$out"
cp "$scenario" "$out/scenario.txt"
read -r -a args <<<"$(section run | sed -n 's/^args //p')"
expected_exit=$(section run | sed -n 's/^exit //p')

code=0
case ${TAVIK_CLI:?} in
    *.exe)
        export WINEDEBUG=-all
        WINEDLLOVERRIDES="mscoree,mshtml=;winusb,cfgmgr32=n" \
            TAVIK_SIM_SCENARIO="Z:$(echo "$out/scenario.txt" | tr / '\\')" \
            wine "$TAVIK_CLI" "${args[@]}" </dev/null >"$out/stdout-raw.txt" \
            2>"$out/stderr.txt" || code=$?
        wineserver -w ;;
    *)
        if section run | grep -q '^together '; then
            # The host's child is a shell that starts each command line at once and ends with
            # the first code other than the expected one (or that one).
            section run | sed -n 's/^together //p' >"$out/together.txt"
            "${TAVIK_USB_HOST:?}" "$scenario" "$out" -- bash -c '
                out=$1 cli=$2 expected=$3 n=0 pids=()
                while read -r -a words; do
                    n=$((n + 1))
                    "$cli" "${words[@]}" </dev/null >"$out/stdout-$n.txt" 2>"$out/stderr-$n.txt" &
                    pids+=($!)
                done <"$out/together.txt"
                code=$expected
                for pid in "${pids[@]}"; do
                    wait "$pid" && c=0 || c=$?
                    [ "$c" = "$expected" ] || code=$c
                done
                exit "$code"' together "$out" "$TAVIK_CLI" "$expected_exit" \
                2>"$out/stderr.txt" || code=$?
        else
            # The host's child reads nothing and writes its standard output to
            # OUT_DIR/stdout.txt.
            "${TAVIK_USB_HOST:?}" "$scenario" "$out" -- "$TAVIK_CLI" "${args[@]}" \
                2>"$out/stderr.txt" || code=$?
        fi
        mv "$out/stdout.txt" "$out/stdout-raw.txt" ;;
esac
# Each process of a side-by-side run prints what log-N lines expect.
for ((n = 1; n <= $(section run | grep -c '^together ' || true); n++)); do
    section run | sed -n "s/^log-$n\\( \\|\$\\)//p" >"$out/expected-stdout-$n.txt"
    sed 's/ in [0-9][0-9.]* s$/ in # s/' "$out/stdout-$n.txt" >"$out/stdout-$n-lines.txt"
    diff -u "$out/expected-stdout-$n.txt" "$out/stdout-$n-lines.txt" >"$out/stdout-$n.diff" ||
        fail "standard output of process $n differs: $(cat "$out/stdout-$n.diff")"
done
tr -d '\r' <"$out/stdout-raw.txt" | sed 's/ in [0-9][0-9.]* s$/ in # s/' >"$out/stdout.txt"
[ ! -f "$out/host-error.txt" ] || fail "the host could not play the scenario"
[ ! -f "$out/sim-error.txt" ] || fail "the simulated unit rejected the scenario"
[ "$code" = "$expected_exit" ] || fail "exit code $code, expected $expected_exit: $(cat "$out/stderr.txt")"
check_outputs
echo "PASS [$name]"
