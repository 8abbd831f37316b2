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

# run_case NAME NOMINAL-PER-SECOND FAREND-OPTIONS...
run_case() {
    local name=$1 nominal=$2
    shift 2
    local before after
    start_farend_at_1ms "$@"
    before=$(cpu_ticks "$tester")
    click_start_stop "$window"
    sleep "$seconds"
    after=$(cpu_ticks "$tester")
    stop_and_close
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
