# Shared by the scripts that run the updater under Wine: a display, a Wine prefix, the probe.
# Expects: TAVIK_PROBE (path of window-probe.exe). The display functions serve the runner of the
# Linux program too.

# A display: the caller's, or a private Xvfb that ends with the script. The display is ours once
# its lock file names our server: a server still going away (another run's, being stopped) may
# answer for a moment, and a new Xvfb on its number fails.
ensure_display() {
    if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
        return
    fi
    local n i
    for n in $(seq 90 140); do
        if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
            Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
            XVFB_PID=$!
            for i in $(seq 1 50); do
                kill -0 "$XVFB_PID" 2>/dev/null || break
                if [ "$(tr -d ' ' 2>/dev/null <"/tmp/.X$n-lock")" = "$XVFB_PID" ] &&
                    DISPLAY=":$n" xdpyinfo >/dev/null 2>&1; then
                    export DISPLAY=":$n"
                    return
                fi
                sleep 0.1
            done
            kill "$XVFB_PID" 2>/dev/null || true
            wait "$XVFB_PID" 2>/dev/null || true
            XVFB_PID=""
        fi
    done
    echo "no free X display" >&2
    return 1
}

# A fresh Wine prefix in $1, booted once.
fresh_prefix() {
    export WINEPREFIX="$1"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wine wineboot -i >/dev/null 2>&1
    wineserver -w
}

probe() {
    wine "$TAVIK_PROBE" "$@"
}

# Ends the private Xvfb of ensure_display, if it started one.
stop_display() {
    if [ -n "${XVFB_PID:-}" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
        XVFB_PID=""
    fi
}

stop_wine() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    stop_display
}
