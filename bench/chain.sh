#!/usr/bin/env bash
# The whole chain on one machine, window shown: the tester on /dev/COM3, a pty that socat joins
# to a TCP connection to `farend --listen` (standing where the device server is), sending for a
# while at 1 ms and at 10 ms. Prints farend's summary line for each run.
# /dev/COM3 is made for each run in a private mount namespace of its own (as root, or through
# sudo), so that the machine's /dev is never touched. Runs on $DISPLAY if set (and not through
# sudo), else on a private Xvfb display with openbox.
#   usage: bench/chain.sh [seconds] [FAREND-OPTION]...   (default 10 s; build/ must be built)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${PRIVATE_DEV:-}" ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    exec $sudo scripts/private-dev.sh "$PWD/bench/chain.sh" "$@"
fi
seconds=${1:-10}
shift || true
source scripts/xsession.sh
tmp=$_xs_tmp

pids=()
chain_cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    _xs_cleanup
}
trap chain_cleanup EXIT

# waits up to 10 s for a condition
wait_for() { for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done; return 1; }

# run_chain LABEL PERIOD-STEPS FAREND-OPTIONS...
run_chain() {
    local label=$1 steps=$2
    shift 2
    build/farend --listen 127.0.0.1:0 "$@" 2>"$tmp/farend.err" &
    local farend=$!
    pids+=("$farend")
    wait_for grep -q "listening on" "$tmp/farend.err"
    local port
    port=$(sed -n 's/^farend: listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$tmp/farend.err")

    socat "pty,link=$tmp/COM3,rawer" "tcp:127.0.0.1:$port" 2>"$tmp/socat.err" &
    local socat=$!
    pids+=("$socat")
    wait_for test -L "$tmp/COM3"
    ln -s "$tmp/COM3" /dev/COM3

    build/looptest >"$tmp/tester.out" 2>/dev/null &
    local tester=$!
    pids+=("$tester")
    local window
    window=$(tester_window)
    choose_period "$window" "$steps"
    click_start_stop "$window"
    sleep "$seconds"
    click_start_stop "$window"
    sleep 0.3
    close_window "$window"
    wait "$tester" || true

    rm -f /dev/COM3
    kill "$socat" 2>/dev/null || true
    wait "$socat" || true
    kill -INT "$farend"
    wait "$farend" || true
    echo "period $label: $(grep "^farend: received" "$tmp/farend.err")"
    sed -n "/^farend: received/,\$p" "$tmp/farend.err" | tail -n +2
    if [ -s "$tmp/tester.out" ]; then
        echo "  the tester said: $(cat "$tmp/tester.out")"
    fi
}

run_chain "1 ms" end "$@"
run_chain "10 ms" 10 "$@"
