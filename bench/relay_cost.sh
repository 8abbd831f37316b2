#!/usr/bin/env bash
# What the relay costs against socat, the COM port redirector it stands in for, in one run: the
# same chain (ser2net raw on one end of a socat pty pair, `farend --port` echoing at once on the
# other) behind each redirector by turns. A scripted tester on COM3 sends one byte at a time and
# waits for its echo, then sends at the tester's 1 ms pace. The relay runs as a user would run
# it: interval lines every second, the JSON stream and the report written. Prints the CPU each
# redirector took (% of one core, from /proc/PID/schedstat) and the round trip the tester saw.
# Loopback only; nothing under /dev is touched.
#   usage: bench/relay_cost.sh [seconds] [turns]   (default 20 s and 2 turns each; build/ built)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
turns=${2:-2}
tmp=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$tmp"' EXIT

socat "pty,link=$tmp/server,rawer" "pty,link=$tmp/device,rawer" & pids+=($!)
for _ in $(seq 50); do [ -e "$tmp/server" ] && [ -e "$tmp/device" ] && break; sleep 0.1; done
build/farend --port "$tmp/device" 2>"$tmp/farend.err" & pids+=($!)
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '%%YAML 1.1\n---\nconnection: &c\n  accepter: tcp,127.0.0.1,%s\n  connector: serialdev,%s,9600n81,local\n' \
    "$port" "$tmp/server" >"$tmp/raw.yaml"
ser2net -n -c "$tmp/raw.yaml" -P "$tmp/ser2net.pid" 2>/dev/null & pids+=($!)
sleep 0.5

# nanoseconds on a CPU so far, of process $1
cpu_ns() { cut -d' ' -f1 "/proc/$1/schedstat"; }

run() {   # redirector pace
    if [ "$1" = relay ]; then
        build/farend --relay "127.0.0.1:$port" --link "$tmp/COM3" --report "$tmp/relay.json" \
            --report-stream "$tmp/relay.jsonl" >"$tmp/lines" 2>"$tmp/relay.err" &
    else
        socat "pty,link=$tmp/COM3,rawer" "tcp:127.0.0.1:$port" 2>"$tmp/socat.err" &
    fi
    local redirector=$!
    pids+=("$redirector")
    for _ in $(seq 50); do [ -L "$tmp/COM3" ] && break; sleep 0.1; done
    sleep 0.2
    local before start
    before=$(cpu_ns "$redirector")
    start=$(date +%s%N)
    local said
    if [ "$2" = pingpong ]; then
        said=$(python3 bench/com3tester.py "$tmp/COM3" "$seconds" pingpong)
    else
        said=$(python3 bench/com3tester.py "$tmp/COM3" "$seconds" tick 1)
    fi
    local used=$(($(cpu_ns "$redirector") - before))
    local wall=$(($(date +%s%N) - start))
    kill -INT "$redirector"
    wait "$redirector" 2>/dev/null || true
    printf '%-6s %-9s CPU %6.2f%% of a core   %s\n' "$1" "$2" \
        "$(awk "BEGIN { print 100 * $used / $wall }")" "$said"
}

echo "relay against socat, $seconds s each, $turns turns, by turns; ser2net raw, instant echo"
for pace in pingpong 1ms; do
    for _ in $(seq "$turns"); do
        run relay "$pace"
        run socat "$pace"
    done
done
