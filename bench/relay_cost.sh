#!/usr/bin/env bash
# What the relay costs against socat, the COM port redirector it stands in for, in one run: the
# same chain (ser2net raw on one end of a socat pty pair, `farend --port` echoing at once on the
# other) behind each redirector by turns. A scripted tester on COM3 sends one byte at a time and
# waits for its echo, then sends at the tester's 1 ms pace. Then a wrong-speed chain the same
# way (the far device at 31250 baud 8N1 behind a 9600 8N1 port: `farend --port --far-device`),
# the tester sending every 10 ms and every 1 ms, so that the relay's recogniser reads each
# cycle and searches once for the setting. The relay runs as a user would run it: interval
# lines every second, the JSON stream and the report written; "scraped" is the same relay with
# --metrics, scraped every second as Prometheus would. Prints the CPU each redirector took (% of
# one core, from /proc/PID/task/*/schedstat: every thread), the round trip the tester saw, and
# what the relay named on the wrong-speed chain.
# Loopback only; nothing under /dev is touched.
#   usage: bench/relay_cost.sh [seconds] [turns]   (default 20 s and 2 turns each; build/ built)
#          RELAY=FAREND bench/relay_cost.sh ...     (another build's farend as the relay, the
#                                                    chains still this build's)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
turns=${2:-2}
tmp=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$tmp"' EXIT

# chain NAME FAREND-OPTION...: ser2net raw on a pty pair, farend --port on the other end; sets
# the port it listens on as $port_NAME
chain() {
    local name=$1
    shift
    socat "pty,link=$tmp/server-$name,rawer" "pty,link=$tmp/device-$name,rawer" & pids+=($!)
    for _ in $(seq 50); do [ -e "$tmp/server-$name" ] && [ -e "$tmp/device-$name" ] && break; sleep 0.1; done
    build/farend --port "$tmp/device-$name" "$@" 2>"$tmp/farend-$name.err" & pids+=($!)
    local p
    p=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    printf '%%YAML 1.1\n---\nconnection: &c\n  accepter: tcp,127.0.0.1,%s\n  connector: serialdev,%s,9600n81,local\n' \
        "$p" "$tmp/server-$name" >"$tmp/raw-$name.yaml"
    ser2net -n -c "$tmp/raw-$name.yaml" -P "$tmp/ser2net-$name.pid" 2>/dev/null & pids+=($!)
    printf -v "port_$name" %s "$p"
}
chain echo
chain wrong --far-device 31250,8N1
sleep 0.5

# nanoseconds on a CPU so far, of process $1's threads
cpu_ns() { cat /proc/"$1"/task/*/schedstat | awk '{ ns += $1 } END { printf "%d", ns }'; }

# GETs URL every second until killed, as a Prometheus with a 1 s scrape interval does
scraper() {
    exec python3 -c 'import sys, time, urllib.request
while True:
    urllib.request.urlopen(sys.argv[1], timeout=5).read()
    time.sleep(1)' "$1"
}

run() {   # redirector pace chain
    local port=port_$3
    port=${!port}
    local metrics=()
    [ "$1" = scraped ] && metrics=(--metrics 0)
    if [ "$1" != socat ]; then
        "${RELAY:-build/farend}" --relay "127.0.0.1:$port" --link "$tmp/COM3" --report "$tmp/relay.json" \
            --report-stream "$tmp/relay.jsonl" "${metrics[@]}" >"$tmp/lines" 2>"$tmp/relay.err" &
    else
        socat "pty,link=$tmp/COM3,rawer" "tcp:127.0.0.1:$port" 2>"$tmp/socat.err" &
    fi
    local redirector=$!
    pids+=("$redirector")
    for _ in $(seq 50); do [ -L "$tmp/COM3" ] && break; sleep 0.1; done
    local scraping=""
    if [ "$1" = scraped ]; then
        for _ in $(seq 50); do grep -q "metrics at" "$tmp/relay.err" && break; sleep 0.1; done
        scraper "$(grep -o 'http://[^ ]*' "$tmp/relay.err")" & scraping=$!
        pids+=("$scraping")
    fi
    sleep 0.2
    local before start
    before=$(cpu_ns "$redirector")
    start=$(date +%s%N)
    local said
    case $2 in
        pingpong) said=$(python3 bench/com3tester.py "$tmp/COM3" "$seconds" pingpong) ;;
        *ms) said=$(python3 bench/com3tester.py "$tmp/COM3" "$seconds" tick "${2%ms}") ;;
    esac
    local used=$(($(cpu_ns "$redirector") - before))
    local wall=$(($(date +%s%N) - start))
    [ -z "$scraping" ] || kill "$scraping"
    kill -INT "$redirector"
    wait "$redirector" 2>/dev/null || true
    local named=""
    [ "$1" = socat ] || [ "$3" != wrong ] ||
        named=$(python3 -c 'import json, sys; r = json.load(open(sys.argv[1])); print("  named:", r["speed_match"] and r["speed_match"][:60])' "$tmp/relay.json")
    printf '%-7s %-6s %-9s CPU %6.2f%% of a core   %s%s\n' "$1" "$3" "$2" \
        "$(awk "BEGIN { print 100 * $used / $wall }")" "$said" "$named"
}

echo "relay against socat, $seconds s each, $turns turns, by turns; ser2net raw: an instant"
echo "echo, then a far device at 31250 8N1 (wrong)"
for pace in pingpong 1ms; do
    for _ in $(seq "$turns"); do
        run relay "$pace" echo
        run scraped "$pace" echo
        run socat "$pace" echo
    done
done
for pace in 10ms 1ms; do
    for _ in $(seq "$turns"); do
        run relay "$pace" wrong
        run scraped "$pace" wrong
        run socat "$pace" wrong
    done
done
