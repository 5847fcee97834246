#!/usr/bin/env bash
# Runs one end-to-end scenario: the real updater under Wine, on a display, against the simulated
# unit of the replacement winusb.dll and cfgmgr32.dll; drives it and checks it as the scenario's
# [run] section says. The [unit] section is read by the DLLs themselves (sim/UnitScenario.hpp).
#
# Usage: run-scenario.sh SCENARIO OUT_DIR
# Environment: TAVIK_UPDATER (TavikUpdater.exe), TAVIK_PROBE (window-probe.exe), TAVIK_IMAGES
# (folder of firmware-10N.bin), WINEPREFIX (prepared by setup-prefix.sh).
# OUT_DIR receives stdout.txt, trace.txt (Wine's text and progress traces), wire.log,
# unit-image.bin, the screenshots, and run-time-ms when the action button was pressed.
#
# [run] steps, in order; TEXT is the rest of the line and may be empty:
#   status TEXT           wait until the status line was last drawn with TEXT
#   message TEXT          the same for the message line
#   visible LIST          the visible controls now, by caption ("progress" for the bar),
#                         comma-separated, or "none"
#   click ID              click the visible control with that id
#   close                 close the window
#   progress-at-least N   wait until the progress bar's position is at least N
#   shot NAME             a picture of the window: OUT_DIR/NAME.png
#   pointer ID            move the mouse pointer over the middle of the control with that id
#   pointer-down, pointer-up   press, release the left mouse button where the pointer is
#   look X Y R,G,B        wait until the pixel at client point X, Y shows that colour
#   exit CODE             wait for the program to end; check its exit code
# and what is checked after the steps:
#   log TEXT              one line of standard output; all of them, in order, and no others
#   log+ TEXT             as log, for one or more of that line in a row (tries that failed)
#   wire TOKENS           the requests the unit answered, as runs KIND[:fail|:gone][@FIRST][*N],
#                         a DFU_UPLOAD/DNLOAD run counting its blocks up from FIRST (0 if not
#                         given); "left:unplugged" or "left:restarted" where it left the bus
#   progress TOKENS       "range N", then the positions set, as runs A..C (or A)
# In wire and progress, B stands for the block count of the scenario's image and R for the reads
# of its whole read-back (see expected_tokens in checks.sh).
#   stored start|embedded N   the unit's image at the end: as it started, or the program's image
set -euo pipefail
scenario=$(realpath "$1")
out=$(realpath -m "$2")
here=$(cd "$(dirname "$0")" && pwd)
TAVIK_PROBE=${TAVIK_PROBE:?}
source "$here/lib.sh"
source "$here/checks.sh"

rm -rf "$out"
mkdir -p "$out"
cp "$scenario" "$out/scenario.txt"
name=$(basename "$scenario" .scn)
app=""
trap 'if [ -n "$app" ]; then kill "$app" 2>/dev/null || true; fi; stop_wine' EXIT
ensure_display
export WINEDEBUG=-all

# Whatever else goes wrong (a probe that cannot reach the window, say) says what it was.
set -E
trap 'fail "line $LINENO: \"$BASH_COMMAND\" failed"' ERR

# --- What the window shows ------------------------------------------------------------------
# Wine traces every DrawTextExW; the last draw into a line's rectangle is what is on screen.
last_drawn() {
    grep -F "$1" "$out/trace.txt" | grep -F 'DrawTextExW L"' | tail -n 1 |
        sed -e 's/^.*DrawTextExW L"//' -e 's/", -\{0,1\}[0-9]*, \[.*$//' || true
}

visible_controls() {
    probe dump | tr -d '\r' | awk '
        /^control/ && / visible=1/ {
            if ($0 ~ /class=msctls_progress32/) { name = "progress" }
            else { match($0, /caption="[^"]*"/); name = substr($0, RSTART + 9, RLENGTH - 10) }
            list = list (list == "" ? "" : ", ") name
        }
        END { print (list == "" ? "none" : list) }'
}

progress_position() {
    probe dump | tr -d '\r' | sed -n 's/.*class=msctls_progress32.* visible=1.* pos=\([0-9]*\).*/\1/p'
}

# Wine traces no draw of an empty text, so an empty line is seen on screen: its rectangle holds
# nothing but the window's background.
message_line_empty() {
    local x y colours
    read -r x y < <(client_origin)
    colours=$(import -window root -crop "190x20+$((x + width / 2 - 95))+$((y + 85))" +repage \
        png:- | convert png:- -format '%k %[pixel:p{0,0}]' info:)
    [ "$colours" = "1 srgb(17,21,24)" ]
}

client_origin() { sed -n 's/.* client-at=\([0-9-]*\),\([0-9-]*\)$/\1 \2/p' "$out/window.txt"; }

pixel_is() {  # X Y R,G,B, in client coordinates
    local x y
    read -r x y < <(client_origin)
    [ "$(import -window root -crop "1x1+$((x + $1))+$((y + $2))" +repage png:- |
        convert png:- -format '%[pixel:p{0,0}]' info:)" = "srgb($3)" ]
}

drawn_is() { [ "$(last_drawn "$1")" = "$2" ]; }
position_reached() { local p; p=$(progress_position); [ -n "$p" ] && [ "$p" -ge "$1" ]; }
program_ended() { ! kill -0 "$app" 2>/dev/null; }

# --- What the unit saw ----------------------------------------------------------------------
progress_shape() {
    awk '
        function hex(s,   i, v) { v = 0; s = tolower(s)
            for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
            return v }
        function flush() { if (n > 0) printf " %s", (a == b ? a : a ".." b); n = 0 }
        /trace:progress:ProgressWindowProc.* msg 0401,/ {
            flush(); sub(/.*lParam /, ""); printf " range %d", int(hex($0) / 65536); next }
        /trace:progress:ProgressWindowProc.* msg 0402,/ {
            sub(/.*wparam /, ""); sub(/,.*/, ""); p = hex($0)
            if (n > 0 && p == b + 1) { b = p } else { flush(); a = p; b = p }
            n++ }
        END { flush(); print "" }' "$out/trace.txt" | sed 's/^ //'
}

# --- Run ------------------------------------------------------------------------------------
# The probe starts Wine's desktop first, so that no process but the updater runs with the
# replacement DLLs and the scenario.
probe dump >/dev/null 2>&1 || true
scenario_dos="Z:$(echo "$out/scenario.txt" | tr / '\\')"
(
    export WINEDLLOVERRIDES="mscoree,mshtml=;winusb,cfgmgr32=n"
    export TAVIK_SIM_SCENARIO="$scenario_dos"
    export WINEDEBUG="-all,+text,+progress,+timestamp"
    exec wine "${TAVIK_UPDATER:?}" >"$out/stdout.txt" 2>"$out/trace.txt"
) &
app=$!
probe wait-window 30000 >/dev/null || fail "no window appeared"
[ ! -f "$out/sim-error.txt" ] || fail "the simulated unit rejected the scenario"
probe dump | tr -d '\r' >"$out/window.txt"
width=$(sed -n 's/^window .* client=\([0-9]*\)x.*/\1/p' "$out/window.txt")
status_rect="[(15,15)-($width,35)]"
message_rect="[($((width / 2 - 95)),85)-($((width / 2 + 95)),105)]"
clicked_tick=""

while IFS= read -r step; do
    verb=${step%% *}
    text=$(rest "$step")
    case $verb in
        status) wait_until "status \"$text\" (shown: \"$(last_drawn "$status_rect")\")" \
                    drawn_is "$status_rect" "$text" ;;
        message)
            if [ -z "$text" ]; then
                wait_until "an empty message line" message_line_empty
            else
                wait_until "message \"$text\" (shown: \"$(last_drawn "$message_rect")\")" \
                    drawn_is "$message_rect" "$text"
            fi ;;
        visible)
            shown=$(visible_controls)
            [ "$shown" = "$text" ] || fail "visible controls: \"$shown\", expected \"$text\"" ;;
        click)
            clicked=$(probe click "$text" | tr -d '\r')
            [ "$text" != 101 ] || clicked_tick=${clicked##* }
            [[ $clicked == clicked* ]] || fail "no control $text to click" ;;
        close) probe close || fail "no window to close" ;;
        pointer)
            read -r x y < <(client_origin)
            read -r cx cy cw ch < <(probe dump | tr -d '\r' |
                sed -n "s/^control .* id=$text .* x=\([0-9]*\) y=\([0-9]*\) w=\([0-9]*\) h=\([0-9]*\).*/\1 \2 \3 \4/p") ||
                true
            [ -n "${cw:-}" ] || fail "no control $text to point at"
            xdotool mousemove $((x + cx + cw / 2)) $((y + cy + ch / 2)) ;;
        pointer-down) xdotool mousedown 1 ;;
        pointer-up) xdotool mouseup 1 ;;
        look)
            read -r px py colour <<<"$text"
            wait_until "colour $colour at $px,$py" pixel_is "$px" "$py" "$colour" ;;
        progress-at-least) wait_until "progress position $text" position_reached "$text" ;;
        shot)
            geometry=$(sed -n 's/^window .* size=\([0-9x]*\) .* at=\([0-9-]*\),\([0-9-]*\) .*/\1+\2+\3/p' \
                "$out/window.txt")
            import -window root -crop "$geometry" +repage "$out/$text.png" ;;
        exit)
            wait_until "the program to end" program_ended
            code=0
            wait "$app" || code=$?
            app=""
            [ "$code" = "$text" ] || fail "exit code $code, expected $text" ;;
        log | log+ | wire | progress | stored) ;;
        *) fail "unknown step: $step" ;;
    esac
done < <(section run)
[ -z "$app" ] || fail "the program is still running after the last step"

# --- Checks ---------------------------------------------------------------------------------
check_outputs
if section run | grep -q '^progress '; then
    expected=$(expected_tokens progress) || fail "progress counts blocks, but names no image to count"
    actual=$(progress_shape)
    [ "$actual" = "$expected" ] || fail "progress: \"$actual\", expected \"$expected\""
fi

# From the press of the action button to the end of the run on screen, on Wine's clock.
if [ -n "$clicked_tick" ]; then
    awk -v from="$clicked_tick" -v rect="$message_rect" '
        index($0, rect) && /DrawTextExW L"(Success|Update Failed)"/ {
            split($1, t, ":"); ms = t[1] * 1000 - from; if (ms >= 0) { print int(ms + 0.5); exit } }' \
        "$out/trace.txt" >"$out/run-time-ms"
    [ ! -s "$out/run-time-ms" ] || echo "press to end of run: $(cat "$out/run-time-ms") ms"
fi
echo "PASS [$name]"
