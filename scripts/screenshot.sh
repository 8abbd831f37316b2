#!/usr/bin/env bash
# Screenshots of the real window under a window manager, against farend: as it starts, after a
# few seconds of sending at 10 ms, and the same against a far end at the wrong baud rate, whose
# garbage never holds a "Z" and so fills the log as one long wrapped line. Writes
# docs/window.png, docs/window-running.png and docs/window-wrapped.png; and docs/window-bytes.png,
# the window on the offscreen platform after test_drawings has received every byte value.
#   usage: scripts/screenshot.sh   (build/ must be built)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/xsession.sh
mkdir -p docs
# the window's outer rectangle
shot() {
    import -window root -crop \
        "${layout_window_width}x${layout_window_height}+${layout_window_x}+${layout_window_y}" \
        +repage "$1"
}

build/farend >/dev/null 2>"$_xs_tmp/summary" &
farend=$!
window=$(tester_window)
sleep 0.5
shot docs/window.png
choose_period "$window" 10   # "10"
click_start_stop "$window"
sleep 4
xdotool mousemove 700 650    # off the controls
sleep 0.3
shot docs/window-running.png
click_start_stop "$window"
sleep 0.3
close_window "$window"
wait "$farend"
cat "$_xs_tmp/summary"

build/farend --wrong-baud 19200 >/dev/null 2>"$_xs_tmp/summary" &
farend=$!
window=$(tester_window)
choose_period "$window" 10   # "10"
click_start_stop "$window"
sleep 6
xdotool mousemove 700 650
sleep 0.3
shot docs/window-wrapped.png
click_start_stop "$window"
sleep 0.3
close_window "$window"
wait "$farend"
cat "$_xs_tmp/summary"

LOOPTEST_DRAWINGS_SHOT=docs/window-bytes.png QT_QPA_PLATFORM=offscreen \
    umockdev-wrapper build/test_drawings everyByteIsDrawnDistinctlyInLabel2AndTheLogAndCopiesBack \
    >/dev/null 2>&1
