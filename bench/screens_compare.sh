#!/usr/bin/env bash
# Whether two builds of the tester look the same: the window as it starts and after each of its
# first two ticks at 1000 ms (against farend's mocked COM3), shot from each build under a window
# manager and compared pixel by pixel. Prints the differing pixels per shot; keeps the shots in
# OUT-DIR.
#   usage: bench/screens_compare.sh OLD-LOOPTEST NEW-LOOPTEST OUT-DIR   (build/ must be built)
set -euo pipefail
cd "$(dirname "$0")/.."
old=${1:?usage: bench/screens_compare.sh OLD-LOOPTEST NEW-LOOPTEST OUT-DIR}
new=${2:?}
out=${3:?}
mkdir -p "$out"
source scripts/xsession.sh
shot() {
    import -window root -crop \
        "${layout_window_width}x${layout_window_height}+${layout_window_x}+${layout_window_y}" \
        +repage "$1"
}
# sleep_until T0 SECONDS: until SECONDS after the time T0 (date +%s.%N)
sleep_until() {
    sleep "$(awk -v t0="$1" -v d="$2" -v now="$(date +%s.%N)" \
        'BEGIN { left = t0 + d - now; printf "%.3f", (left > 0 ? left : 0) }')"
}
for rev in old new; do
    build/farend -- "${!rev}" >/dev/null 2>&1 &
    farend=$!
    window=$(tester_window)
    xdotool mousemove 700 650
    sleep 1
    shot "$out/$rev-start.png"
    click_start_stop "$window"   # the first tick comes a second later, the next one after two
    started=$(date +%s.%N)
    xdotool mousemove 700 650
    # half-way between ticks, counted from the click: a slow shot must not push the next past one
    sleep_until "$started" 1.5
    shot "$out/$rev-tick1.png"
    sleep_until "$started" 2.5
    shot "$out/$rev-tick2.png"
    click_start_stop "$window"
    sleep 0.3
    close_window "$window"
    wait "$farend" || true
done
echo "| shot | pixels that differ |"
echo "|---|---|"
for s in start tick1 tick2; do
    echo "| $s | $(compare -metric AE "$out/old-$s.png" "$out/new-$s.png" "$out/diff-$s.png" 2>&1 || true) |"
done
