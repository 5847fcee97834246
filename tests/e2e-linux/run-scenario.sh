#!/usr/bin/env bash
# Runs one end-to-end scenario of the Linux program: the real tavik-updater on an X display,
# started by tavik-usb-host, which plays the scenario's unit on an emulated USB bus (umockdev)
# that the program reaches through the real libusb. Drives and checks it as the scenario's [run]
# section says. The [unit] section is read by the host (sim/UnitScenario.hpp).
#
# Usage: run-scenario.sh SCENARIO OUT_DIR
# Environment: TAVIK_UPDATER (tavik-updater), TAVIK_USB_HOST (tavik-usb-host), TAVIK_PAINT_TRACE_LIB
# (libtavik-paint-trace.so), TAVIK_X_WINDOW (tavik-x-window, which closes the window and reads its
# pixels), TAVIK_IMAGES (folder of firmware-10N.bin); DISPLAY is used when it is set and answers,
# else a private Xvfb is started. The window is found with xdotool.
# Under AddressSanitizer, set ASAN_OPTIONS=verify_asan_link_order=0: the program runs with
# preloaded libraries ahead of the sanitizer's runtime.
# OUT_DIR receives stdout.txt and stderr.txt (the program's), trace.txt (the texts and progress
# positions it painted, see PaintTrace.cpp), wire.log, unit-image-start.bin, unit-image.bin, the
# screenshots, and run-time-ms when the action button was pressed.
#
# [run] steps, in order, as for the Windows program (tests/e2e/run-scenario.sh); TEXT is the rest
# of the line and may be empty:
#   status TEXT, message TEXT   wait until that line was last drawn with TEXT
#   visible LIST          the visible controls now, told by their pixels: the caption of the
#                         button ("Update Now", "OK", ...), "progress", or "none"
#   click ID              click the visible button with that id (101 action, 102 "OK") with the
#                         mouse
#   close                 close the window, as a window manager's close box does
#   progress-at-least N   wait until the progress bar was last set to N or more
#   shot NAME             a picture of the window: OUT_DIR/NAME.png
#   pointer ID            move the mouse pointer over the middle of the button with that id
#   pointer-down, pointer-up   press, release the left mouse button where the pointer is
#   look X Y R,G,B        wait until the pixel at window point X, Y shows that colour
#   exit CODE             wait for the program to end; check its exit code
# and the checks after the steps: log, wire and stored, as there. "progress TOKENS" is not
# supported here: Qt's bar is told its range with every position, so the calls do not say what
# the program asked for.
set -euo pipefail
scenario=$(realpath "$1")
out=$(realpath -m "$2")
here=$(cd "$(dirname "$0")" && pwd)
shared="$here/../e2e"
: "${TAVIK_UPDATER:?}" "${TAVIK_USB_HOST:?}" "${TAVIK_PAINT_TRACE_LIB:?}" "${TAVIK_X_WINDOW:?}"
source "$shared/lib.sh"
source "$shared/checks.sh"

rm -rf "$out"
mkdir -p "$out"
cp "$scenario" "$out/scenario.txt"
scenario="$out/scenario.txt"
name=$(basename "$1" .scn)
host=""
trap 'if [ -n "$host" ]; then kill "$host" 2>/dev/null || true; wait "$host" 2>/dev/null || true; fi
      stop_display' EXIT
ensure_display
set -E
trap 'fail "line $LINENO: \"$BASH_COMMAND\" failed"' ERR

# Qt's per-user runtime folder, private to the run.
export XDG_RUNTIME_DIR="$out/runtime"
mkdir -m 0700 "$XDG_RUNTIME_DIR"
# The program may run as another user (a unit it may not open): it must still write its trace.
touch "$out/trace.txt"
chmod 0666 "$out/trace.txt"

# --- What the window shows ------------------------------------------------------------------
xw() { "$TAVIK_X_WINDOW" "$@"; }

# What was last drawn into a rectangle "X,Y,W,H" of the window: "drawn:" and the text, or
# nothing when nothing was. (Helpers whose output is read never fail: the ERR trap would fire
# inside the substitution and its message would be read as the output.)
last_drawn() {
    awk -F '\t' -v rect="$1" '$2 == "text" && $3 == rect { text = $4; seen = 1 }
                              END { if (seen) print "drawn:" text }' "$out/trace.txt"
}
drawn_is() { [ "$(last_drawn "$1")" = "drawn:$2" ]; }
shown_in() { local shown; shown=$(last_drawn "$1"); echo "${shown:-(nothing drawn)}" | sed 's/^drawn://'; }

last_progress() { awk -F '\t' '$2 == "progress" { value = $3 } END { print value }' "$out/trace.txt" || true; }
position_reached() { local p; p=$(last_progress); [ -n "$p" ] && [ "$p" -ge "$1" ]; }

# A button is filled with its face (67,71,74), or with its edge colour while pressed; the bar
# is anything but the background where it reaches beyond the button's place.
visible_controls() {
    local button bar list=""
    read -r button bar < <(xw pixels "$window" "$((button_x + 3)),65" "$((bar_x + 3)),65" ||
        true) || true
    case $button in
        67,71,74 | 97,101,104) list=$(shown_in "$button_rect") ;;
    esac
    if [ -n "$bar" ] && [ "$bar" != 17,21,24 ]; then
        list="${list:+$list, }progress"
    fi
    echo "${list:-none}"
}
visible_are() { shown=$(visible_controls); [ "$shown" = "$1" ]; }

pixel_is() { [ "$(xw pixels "$window" "$1,$2" || true)" = "$3" ]; }
program_ended() { ! kill -0 "$host" 2>/dev/null; }

# The button with that id is visible: "OK" is 102, any other caption the action button 101.
button_visible() {
    local shown
    shown=$(visible_controls)
    case $1 in
        102) [ "$shown" = OK ] ;;
        101) [ "$shown" != OK ] && [ "$shown" != none ] && [[ $shown != *progress* ]] ;;
        *) fail "no button has id $1" ;;
    esac
}

# --- Run ------------------------------------------------------------------------------------
(
    export TAVIK_PAINT_TRACE="$out/trace.txt"
    # The trace is preloaded into the program only, after umockdev's library, which the host
    # puts first.
    exec "$TAVIK_USB_HOST" "$scenario" "$out" -- \
        sh -c 'LD_PRELOAD="${LD_PRELOAD:+$LD_PRELOAD:}$0" exec "$@"' \
        "$TAVIK_PAINT_TRACE_LIB" "$TAVIK_UPDATER" 2>"$out/stderr.txt"
) &
host=$!
window=""
window_or_end() {
    program_ended && return 0
    window=$(xdotool search --onlyvisible --maxdepth 1 --name "Tavik Updater" 2>/dev/null | head -n 1 || true)
    [ -n "$window" ]
}
wait_until "the window" window_or_end
[ ! -f "$out/host-error.txt" ] || fail "the host could not play the scenario"
[ -n "$window" ] || fail "the program ended before its window appeared"
width=$(xdotool getwindowgeometry --shell "$window" | sed -n 's/^WIDTH=//p' || true)
[ -n "$width" ] || fail "the window went before its size was read"
status_rect="15,15,$((width - 15)),20"
message_rect="$((width / 2 - 95)),85,190,20"
button_x=$((width / 2 - 95))
button_rect="$button_x,50,190,30"
bar_x=$((width / 2 - 200))
clicked_at=""

while IFS= read -r step; do
    verb=${step%% *}
    text=$(rest "$step")
    case $verb in
        status) wait_until "status \"$text\" (shown: \"$(shown_in "$status_rect")\")" \
                    drawn_is "$status_rect" "$text" ;;
        message) wait_until "message \"$text\" (shown: \"$(shown_in "$message_rect")\")" \
                     drawn_is "$message_rect" "$text" ;;
        visible)
            # What is painted follows what the program decided within a moment.
            deadline=$((SECONDS + 5))
            until visible_are "$text"; do
                [ "$SECONDS" -lt "$deadline" ] || fail "visible controls: \"$shown\", expected \"$text\""
                sleep 0.1
            done ;;
        click)
            wait_until "button $text (shown: $(visible_controls))" button_visible "$text"
            [ "$text" != 101 ] || clicked_at=$(date +%s.%N)
            xdotool mousemove --window "$window" "$((button_x + 95))" 65 click 1 ;;
        close) xw close "$window" || fail "no window to close" ;;
        pointer)
            case $text in 101 | 102) ;; *) fail "no button has id $text" ;; esac
            xdotool mousemove --window "$window" "$((button_x + 95))" 65 ;;
        pointer-down) xdotool mousedown 1 ;;
        pointer-up) xdotool mouseup 1 ;;
        look)
            read -r px py colour <<<"$text"
            wait_until "colour $colour at $px,$py (shown: $(xw pixels "$window" "$px,$py" || true))" \
                pixel_is "$px" "$py" "$colour" ;;
        progress-at-least) wait_until "progress position $text" position_reached "$text" ;;
        shot) import -window "$window" "$out/$text.png" ;;
        exit)
            wait_until "the program to end" program_ended
            code=0
            wait "$host" || code=$?
            host=""
            [ "$code" = "$text" ] || fail "exit code $code, expected $text" ;;
        log | log+ | wire | stored) ;;
        progress) fail "progress checks are not supported for the Linux program" ;;
        *) fail "unknown step: $step" ;;
    esac
done < <(section run)
[ -z "$host" ] || fail "the program is still running after the last step"

check_outputs

# From the press of the action button to the end of the run on screen.
if [ -n "$clicked_at" ]; then
    awk -F '\t' -v from="$clicked_at" -v rect="$message_rect" '
        $2 == "text" && $3 == rect && ($4 == "Success" || $4 == "Update Failed") && $1 >= from {
            printf "%d\n", ($1 - from) * 1000 + 0.5; exit }' "$out/trace.txt" >"$out/run-time-ms"
    [ ! -s "$out/run-time-ms" ] || echo "press to end of run: $(cat "$out/run-time-ms") ms"
fi
echo "PASS [$name]"
