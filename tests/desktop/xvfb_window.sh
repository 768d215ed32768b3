# Shared by the desktop checks: start a program under a private Xvfb, see its
# window title, quit it with Ctrl+Q and check its exit status. Source it; needs xvfb, xdotool.

# start_xvfb: sets DISPLAY and XVFB_PID; stop_xvfb ends it.
start_xvfb() {
    local fdfile
    fdfile=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fdfile" 2>/dev/null &
    XVFB_PID=$!
    for _ in $(seq 100); do [ -s "$fdfile" ] && break; sleep 0.1; done
    export DISPLAY=":$(head -1 "$fdfile")"
    rm -f "$fdfile"
    [ "$DISPLAY" != ":" ] || { echo "Xvfb did not start" >&2; return 1; }
}

stop_xvfb() {
    [ -n "${XVFB_PID:-}" ] || return 0
    kill "$XVFB_PID" 2>/dev/null || true
    wait "$XVFB_PID" 2>/dev/null || true
    XVFB_PID=
}

# expect_window PROGRAM TITLE: starts PROGRAM, waits for a window named exactly TITLE,
# presses Ctrl+Q in it and expects exit status 0. The program's settings stay in $HOME.
expect_window() {
    local program=$1 title=$2 pid win="" status=0
    env -u QT_QPA_PLATFORM "$program" &
    pid=$!
    for _ in $(seq 100); do
        win=$(xdotool search --name "^${title}\$" 2>/dev/null | head -1) && [ -n "$win" ] && break
        sleep 0.1
    done
    if [ -z "$win" ]; then
        echo "FAIL: no window titled '$title' from $program" >&2
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        return 1
    fi
    echo "window '$title' shown by $program"
    xdotool windowfocus --sync "$win"
    xdotool key ctrl+q
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$pid" 2>/dev/null; then
        echo "FAIL: $program still runs after Ctrl+Q" >&2
        kill "$pid"; wait "$pid" 2>/dev/null || true
        return 1
    fi
    wait "$pid" || status=$?
    [ "$status" -eq 0 ] || { echo "FAIL: $program ended with status $status" >&2; return 1; }
}
