# Shared by the scripts that run the updater under Wine: a display, a Wine prefix, the probe.
# Expects: TAVIK_PROBE (path of window-probe.exe). The display functions serve the runner of the
# Linux program too.

# A display: the caller's, or a private Xvfb that ends with the script.
ensure_display() {
    if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
        return
    fi
    # Xvfb chooses a free display itself and names it only once it accepts clients: no race
    # with another server, or with one that is still going away, over a display number.
    local numberFile i n
    numberFile=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$numberFile" >/dev/null 2>&1 &
    XVFB_PID=$!
    for i in $(seq 1 100); do
        kill -0 "$XVFB_PID" 2>/dev/null || break
        n=$(tr -dc '0-9' <"$numberFile")
        if [ -n "$n" ] && DISPLAY=":$n" xdpyinfo >/dev/null 2>&1; then
            rm -f "$numberFile"
            export DISPLAY=":$n"
            return
        fi
        sleep 0.1
    done
    rm -f "$numberFile"
    kill "$XVFB_PID" 2>/dev/null || true
    wait "$XVFB_PID" 2>/dev/null || true
    XVFB_PID=""
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
