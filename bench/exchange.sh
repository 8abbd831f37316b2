#!/usr/bin/env bash
# The whole tester at a 1 ms period with its window shown, against farend: exchanges per second
# (one byte out, one back) and the tester's CPU use. Runs on $DISPLAY if set, else on a private
# Xvfb display with openbox.
#   usage: bench/exchange.sh [seconds]   (default 10; build/ must be built)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
source scripts/xsession.sh
tmp=$_xs_tmp

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# run_case NAME NOMINAL-PER-SECOND FAREND-OPTIONS...
run_case() {
    local name=$1 nominal=$2
    shift 2
    build/farend "$@" >/dev/null 2>"$tmp/summary" &
    local farend=$!
    local window tester before after
    window=$(tester_window)
    tester=$(pgrep -P "$farend" | head -1)
    choose_period "$window" end   # "1"
    before=$(cpu_ticks "$tester")
    click_start_stop "$window"
    sleep "$seconds"
    after=$(cpu_ticks "$tester")
    click_start_stop "$window"
    sleep 0.3
    close_window "$window"
    wait "$farend" || true
    local summary
    summary=$(cat "$tmp/summary")
    local received span
    received=$(sed -n 's/.*received \([0-9]*\) bytes.*/\1/p' <<<"$summary")
    span=$(sed -n 's/.*first to last \([0-9.]*\) s.*/\1/p' <<<"$summary")
    local exact=no
    grep -q "test cycle exact" <<<"$summary" && exact=yes
    awk -v name="$name" -v n="$received" -v s="$span" -v nominal="$nominal" \
        -v cpu=$((after - before)) -v hz="$(getconf CLK_TCK)" -v secs="$seconds" -v exact="$exact" \
        'BEGIN { rate = (s > 0) ? (n - 1) / s : 0;
                 printf "| %-32s | %7.1f | %6.1f | %6.2f%% | %5.1f%% | %s |\n",
                        name, rate, nominal, 100 * rate / nominal, 100 * cpu / hz / secs, exact }'
}

echo "| far end, period 1 ms | exchanges/s | ceiling/s | of ceiling | tester CPU | cycle exact |"
echo "|---|---|---|---|---|---|"
run_case "echo, no latency" 1000
run_case "echo, paced at 9600 baud 8N1" "$(awk 'BEGIN { printf "%.1f", 1000 / (2 * 10000 / 9600) }')" --paced
