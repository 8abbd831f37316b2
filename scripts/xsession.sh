# Sourced: gives the caller a private X display (Xvfb) with a window manager (openbox) unless
# DISPLAY is already set, and takes it down on exit.
_xs_tmp=$(mktemp -d)
_xs_cleanup() {
    [ -n "${_xs_wm:-}" ] && kill "$_xs_wm" 2>/dev/null
    [ -n "${_xs_server:-}" ] && kill "$_xs_server" 2>/dev/null
    rm -rf "$_xs_tmp"
    return 0
}
trap _xs_cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$_xs_tmp/display" 2>/dev/null &
    _xs_server=$!
    for _ in $(seq 100); do [ -s "$_xs_tmp/display" ] && break; sleep 0.1; done
    export DISPLAY=":$(cat "$_xs_tmp/display")"
    openbox >/dev/null 2>&1 &
    _xs_wm=$!
    for _ in $(seq 100); do
        xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" && break
        sleep 0.1
    done
fi
export QT_QPA_PLATFORM=xcb

# the tester's window, once it is shown (waits up to 20 s)
tester_window() { timeout 20 xdotool search --sync --onlyvisible --name 'Windows→RS232C' | head -1; }
# pick a period from the list: the number of steps down from "1000"
choose_period() {
    xdotool mousemove --window "$1" 600 136 click 1
    sleep 0.3
    if [ "$2" = end ]; then xdotool key End; else for _ in $(seq "$2"); do xdotool key Down; done; fi
    xdotool key Return
    sleep 0.2
}
click_start_stop() { xdotool mousemove --window "$1" 564 48 click 1; }
close_window() { xdotool windowactivate --sync "$1" key alt+F4; }
