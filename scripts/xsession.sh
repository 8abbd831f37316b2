#!/usr/bin/env bash
# A private X display (Xvfb) with a window manager (openbox), used in two ways:
#   source scripts/xsession.sh   gives the caller one unless DISPLAY is already set, takes it
#                                down on exit, and defines the functions below that drive the
#                                tester's window;
#   scripts/xsession.sh          (run, as the tests do) starts one, prints its display once the
#                                window manager is ready, and takes it down when its standard
#                                input closes or on SIGTERM; the line "kill-server" on its
#                                standard input kills the X server at once, as a crash would,
#                                and is answered "killed".
# XSESSION_SCREEN sets the screen's size and depth (default 1024x768x24); LOOPTEST_BUILD the
# build tree the tester and farend are taken from (default build/).
_xs_tmp=$(mktemp -d)
_xs_cleanup() {
    local started=(${_xs_wm:-} ${_xs_server:-})
    if ((${#started[@]})); then
        kill "${started[@]}" 2>/dev/null || true
        wait "${started[@]}" 2>/dev/null || true
    fi
    rm -rf "$_xs_tmp"
    return 0
}
trap _xs_cleanup EXIT

# starts Xvfb and then openbox on it, and exports DISPLAY
_xs_start() {
    Xvfb -displayfd 3 -screen 0 "${XSESSION_SCREEN:-1024x768x24}" -nolisten tcp 3>"$_xs_tmp/display" >/dev/null 2>&1 &
    _xs_server=$!
    for _ in $(seq 150); do [ -s "$_xs_tmp/display" ] && break; sleep 0.1; done
    if [ ! -s "$_xs_tmp/display" ]; then
        echo "xsession.sh: Xvfb gave no display" >&2
        return 1
    fi
    export DISPLAY=":$(cat "$_xs_tmp/display")"
    openbox >/dev/null 2>&1 &
    _xs_wm=$!
    # openbox is ready once it says it activates windows on request, which closing one needs
    if ! _xs_until 60 _xs_supports _NET_ACTIVE_WINDOW; then
        echo "xsession.sh: openbox did not take the display within 60 s" >&2
        return 1
    fi
    return 0
}
_xs_supports() { xprop -root _NET_SUPPORTED 2>/dev/null | grep -qw "$1"; }
# _xs_until SECONDS COMMAND...: polls COMMAND until it succeeds, false at the deadline
_xs_until() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    trap 'exit 0' TERM
    _xs_start || exit 1
    echo "$DISPLAY"
    while read -r command; do
        if [ "$command" = kill-server ]; then
            kill -KILL "$_xs_server"
            wait "$_xs_server" 2>/dev/null
            _xs_server=""
            echo killed
        fi
    done
    exit 0
fi

# the window's caption and click points (layout_*), as the tester is built
_xs_build=${LOOPTEST_BUILD:-$(dirname "${BASH_SOURCE[0]}")/../build}
if ! _xs_layout=$("$_xs_build/layout_points"); then
    echo "xsession.sh: $_xs_build/layout_points did not run: build first (scripts/setup.sh)" >&2
    exit 1
fi
eval "$_xs_layout"

if [ -z "${DISPLAY:-}" ]; then
    _xs_start || exit 1
fi
export QT_QPA_PLATFORM=xcb

# the tester's window, once it is shown and has the keyboard (waits up to 60 s)
tester_window() {
    local window
    window=$(timeout 60 xdotool search --sync --onlyvisible --name "$layout_title_pattern" | head -1)
    [ -n "$window" ] || return 1
    _xs_until 10 _xs_active "$window" || timeout 30 xdotool windowactivate --sync "$window"
    echo "$window"
}
_xs_active() { [ "$(xdotool getactivewindow 2>/dev/null)" = "$1" ]; }
# the tester's shown windows: its main window, and the period list while that is open
_xs_shown() { xdotool search --onlyvisible --pid "$1" 2>/dev/null | wc -l; }
_xs_list_open() { [ "$(_xs_shown "$1")" -gt 1 ]; }
_xs_list_closed() { [ "$(_xs_shown "$1")" -le 1 ]; }
# pick a period from the list: the number of steps down from "1000"
choose_period() {
    local pid
    pid=$(xdotool getwindowpid "$1")
    xdotool mousemove --window "$1" "$layout_period_arrow_x" "$layout_period_arrow_y" click 1
    _xs_until 30 _xs_list_open "$pid" || echo "xsession.sh: the period list did not open" >&2
    if [ "$2" = end ]; then xdotool key End; else for _ in $(seq "$2"); do xdotool key Down; done; fi
    xdotool key Return
    _xs_until 30 _xs_list_closed "$pid" || echo "xsession.sh: the period list did not close" >&2
}
click_start_stop() {
    xdotool mousemove --window "$1" "$layout_start_stop_x" "$layout_start_stop_y" click 1
}
close_window() { xdotool windowactivate --sync "$1" key alt+F4; }

# A run of the tester at 1 ms against farend started with the given options (its summary in
# $_xs_tmp/summary): sets farend, window and tester, with the period "1" chosen and sending off.
start_farend_at_1ms() {
    "$_xs_build/farend" "$@" >/dev/null 2>"$_xs_tmp/summary" &
    farend=$!
    window=$(tester_window)
    tester=$(pgrep -P "$farend" | head -1)
    choose_period "$window" end   # "1"
}
# Stops sending, closes the window and waits for farend to end.
stop_and_close() {
    click_start_stop "$window"
    sleep 0.3
    close_window "$window"
    wait "$farend" || true
}
# CPU time a process has used, in clock ticks.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
