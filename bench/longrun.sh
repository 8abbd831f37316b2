#!/usr/bin/env bash
# The whole tester over longer runs at a 1 ms period, window shown, against farend:
#   wrongbaud  a far end at the wrong baud rate (--wrong-baud 19200: garbage, never a "Z", so the
#              log grows as one paragraph): exchanges/s and tester CPU over the 10 s before 10 s
#              and before 120 s into the run;
#   memory     an instant echo for SECONDS (default 600): resident memory of the tester at 10 s
#              and at the end, per character logged in between.
# Exchanges are counted as the bytes farend received (one a tick), from the summary it prints on
# SIGUSR1. Runs on $DISPLAY if set, else on a private Xvfb display with openbox.
#   usage: bench/longrun.sh wrongbaud|memory [SECONDS]   (build/ must be built)
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:?usage: bench/longrun.sh wrongbaud|memory [SECONDS]}
source scripts/xsession.sh
tmp=$_xs_tmp

# the bytes farend has received so far
received() {
    local before
    before=$(grep -c "received" "$tmp/summary" || true)
    kill -USR1 "$farend"
    for _ in $(seq 100); do
        [ "$(grep -c "received" "$tmp/summary" || true)" -gt "$before" ] && break
        sleep 0.01
    done
    grep "received" "$tmp/summary" | tail -1 | sed -n 's/.*received \([0-9]*\) bytes.*/\1/p'
}
resident_kb() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }
now() { date +%s.%N; }
# sleeps until SECONDS after the start time $2
sleep_until() { sleep "$(awk -v t="$1" -v s="$2" -v n="$(now)" 'BEGIN { d = s + t - n; print (d > 0) ? d : 0 }')"; }

# a run at 1 ms, sending from `started` on
start_run() {
    start_farend_at_1ms "$@"
    click_start_stop "$window"
    started=$(now)
}

case "$what" in
wrongbaud)
    echo "| far end, period 1 ms | seconds into the run | exchanges/s | of nominal | tester CPU |"
    echo "|---|---|---|---|---|"
    start_run --wrong-baud 19200
    for at in 10 120; do
        sleep_until $((at - 10)) "$started"
        b0=$(received) c0=$(cpu_ticks "$tester") t0=$(now)
        sleep_until "$at" "$started"
        b1=$(received) c1=$(cpu_ticks "$tester") t1=$(now)
        awk -v at="$at" -v n=$((b1 - b0)) -v cpu=$((c1 - c0)) -v hz="$(getconf CLK_TCK)" \
            -v t0="$t0" -v t1="$t1" \
            'BEGIN { s = t1 - t0; rate = n / s;
                     printf "| wrong baud rate (19200) | %3d | %7.1f | %6.2f%% | %5.1f%% |\n",
                            at, rate, rate / 10, 100 * cpu / hz / s }'
    done
    stop_and_close
    echo
    echo "farend's summary: $(grep "received" "$tmp/summary" | tail -1)"
    ;;
memory)
    seconds=${2:-600}
    start_run
    sleep_until 10 "$started"
    r0=$(resident_kb "$tester") b0=$(received)
    sleep_until "$seconds" "$started"
    r1=$(resident_kb "$tester") b1=$(received)
    stop_and_close
    awk -v r0="$r0" -v r1="$r1" -v n=$((b1 - b0)) -v s="$seconds" \
        'BEGIN { printf "instant echo, 1 ms, %d s: resident %.1f MB at 10 s, %.1f MB at the end, " \
                        "%d characters logged in between: %.2f bytes per character\n",
                        s, r0 / 1024, r1 / 1024, n, (r1 - r0) * 1024 / n }'
    echo "farend's summary: $(grep "received" "$tmp/summary" | tail -1)"
    ;;
*)
    echo "usage: bench/longrun.sh wrongbaud|memory [SECONDS]" >&2
    exit 2
    ;;
esac
