#!/usr/bin/env bash
# Screenshots of the real window at a scale factor, driven by the keyboard alone: Tab to the
# period box, type 10 and Enter, Shift+Tab back to Start and Enter; against a far end at the
# wrong baud rate, so that the log and Label2 show hex boxes. Writes docs/window-<SCALE>x.png.
#   usage: scripts/screenshot-scaled.sh SCALE   (for example 1.5 or 2; build/ must be built)
set -euo pipefail
cd "$(dirname "$0")/.."
scale=${1:?usage: scripts/screenshot-scaled.sh SCALE}
export XSESSION_SCREEN=2400x1800x24   # room for the window at 2x
source scripts/xsession.sh
mkdir -p docs

QT_SCALE_FACTOR=$scale build/farend --wrong-baud 19200 >/dev/null 2>"$_xs_tmp/summary" &
farend=$!
window=$(tester_window)
xdotool windowactivate --sync "$window"
sleep 0.5
xdotool key Tab
xdotool type 10
xdotool key Return shift+Tab Return   # the period, back to Start, start sending
sleep 4
xdotool key Return                    # stop, so the shot holds still
sleep 0.5
import -window "$window" "docs/window-${scale}x.png"
close_window "$window"
wait "$farend"
cat "$_xs_tmp/summary"
