#!/usr/bin/env bash
# What farend prints, for fixed scripted runs, normalised so that only what depends on time is
# masked: run it before and after a change to farend's code and diff the two outputs. The relay
# in front of the scripted RFC 2217 server (modem and line-state notifications, quirks, requests
# not acknowledged, replies not parsed, a suspended flow), of ser2net (raw and RFC 2217) with a
# far end at a wrong speed behind it, of a lossy far end over raw TCP, and of a serial device;
# the far end itself with --listen, --port and on the mocked COM3; --help and the refusals. A
# scripted tester sends a fixed count of bytes at 20 ms, each burst just after an interval line
# and over well before the next (intervals of 3 s), so that every count falls in the same
# interval each time, on a loaded machine too.
# Masked as T (or H for a histogram): durations and times of day in seconds and milliseconds,
# round-trip and period figures, histograms, the count of gaps over twice the median (a figure
# of the timing), how the replies fell into reads and TCP segments (and when the control bytes
# came) and how many came just after a later send (the scheduler's), the pseudo-terminal's
# number, port numbers and the temporary directory. Every echo comes 20 ms late or more
# (--latency, or the scripted server's delay) or behind a wrong speed, so that which are late
# does not depend on the machine's load.
#   usage: bench/relay_outputs.sh   (build/ must be built; takes two minutes; FAREND=PATH runs
#          another build's farend, an older one for example, against this tree's scripts)
set -euo pipefail
cd "$(dirname "$0")/.."
farend=${FAREND:-$PWD/build/farend}
# the interpreter itself, not a wrapper that finds it anew each time (slow on a loaded machine)
python=$(python3 -c 'import sys; print(sys.executable)')
tmp=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$tmp"' EXIT

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
wait_for() {   # path
    for _ in $(seq 100); do [ -e "$1" ] && return 0; sleep 0.05; done
    echo "relay_outputs.sh: $1 never came" >&2
    return 1
}
intervals() {   # lines file: how many interval lines so far (a run's line names its run)
    grep -cE '^ *[0-9]+\.[0-9]+ +([0-9]|no traffic)' "$1" || true
}
wait_intervals() {   # lines file, count
    for _ in $(seq 1000); do [ "$(intervals "$1")" -ge "$2" ] && return 0; sleep 0.01; done
    echo "relay_outputs.sh: $1 has fewer than $2 interval lines" >&2
    return 1
}
tester() {   # COM3, bytes
    "$python" bench/com3tester.py "$1" 0.5 burst "$2" 20
}
# Prints a file under a heading, if it is there.
show() {   # heading file
    echo "--- $1"
    if [ -e "$2" ]; then cat "$2"; else echo "(none)"; fi
}

# The relay to TARGET, with the tester opening COM3 once for each count given, each burst after
# the next interval line; stopped by SIGINT after the following one. Extra relay options after
# "--".
relay_run() {   # name target counts... [-- options...]
    local name=$1 target=$2
    shift 2
    local counts=() options=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do counts+=("$1"); shift; done
    [ $# -gt 0 ] && shift && options=("$@")
    local d=$tmp/$name
    mkdir -p "$d"
    "$farend" --relay "$target" --link "$d/COM3" --interval 3 --report "$d/report.json" \
        --report-stream "$d/stream.jsonl" "${options[@]}" >"$d/lines" 2>"$d/err" &
    local relay=$!
    pids+=("$relay")
    wait_for "$d/COM3"
    local n=1
    : >"$d/tester"
    for count in "${counts[@]}"; do
        wait_intervals "$d/lines" "$n"
        tester "$d/COM3" "$count" >>"$d/tester"
        n=$((n + 1))
    done
    wait_intervals "$d/lines" "$n"
    kill -INT "$relay"
    local status=0
    wait "$relay" || status=$?
    echo "=== relay: $name"
    show "tester" "$d/tester"
    show "interval lines" "$d/lines"
    show "standard error" "$d/err"
    show "report" "$d/report.json"
    show "stream" "$d/stream.jsonl"
    echo "--- exit status $status"
}

# A far end started in the background; its standard error and report go to $tmp/NAME.*.
far_start() {   # name options...
    local name=$1
    shift
    "$farend" "$@" --report "$tmp/$name.far.json" 2>"$tmp/$name.far.err" &
    far=$!
    pids+=("$far")
}
far_stop() {   # name
    kill -INT "$far"
    local status=0
    wait "$far" || status=$?
    echo "=== far end: $1"
    show "standard error" "$tmp/$1.far.err"
    show "report" "$tmp/$1.far.json"
    echo "--- exit status $status"
}
listening_port() {   # name
    for _ in $(seq 100); do
        grep -q 'listening on' "$tmp/$1.far.err" 2>/dev/null && break
        sleep 0.05
    done
    sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$tmp/$1.far.err"
}

# ser2net on one end of a socat pty pair, a far end with OPTIONS on the other.
chain_start() {   # name accepter-kind options...
    local name=$1 kind=$2
    shift 2
    socat "pty,link=$tmp/$name.side,rawer" "pty,link=$tmp/$name.dev,rawer" & pids+=($!)
    wait_for "$tmp/$name.side"
    wait_for "$tmp/$name.dev"
    far_start "$name" --port "$tmp/$name.dev" "$@"
    port=$(free_port)
    local accepter="tcp,127.0.0.1,$port"
    [ "$kind" = raw ] || accepter="telnet(rfc2217),tcp,127.0.0.1,$port"
    printf '%%YAML 1.1\n---\nconnection: &c\n  accepter: %s\n  connector: serialdev,%s,9600n81,local\n' \
        "$accepter" "$tmp/$name.side" >"$tmp/$name.yaml"
    ser2net -n -c "$tmp/$name.yaml" -P "$tmp/$name.pid" 2>/dev/null & ser2net=$!
    pids+=("$ser2net")
    sleep 0.5
}

all_runs() {
    echo "=== farend --help"
    local status=0
    "$farend" --help || status=$?
    echo "--- exit status $status"

    # the scripted RFC 2217 server
    for scenario in modem quirks unparsable silent unknownbits suspend; do
        # each echo 20 ms late or more, so that every one of them is late on any machine
        python3 tests/support/rfc2217_server.py "$scenario" 20 >"$tmp/$scenario.port" \
            2>"$tmp/$scenario.requests" & pids+=($!)
        wait_for "$tmp/$scenario.port"
        until [ -s "$tmp/$scenario.port" ]; do sleep 0.05; done
        if [ "$scenario" = quirks ]; then
            relay_run "rfc2217-$scenario" "rfc2217://127.0.0.1:$(cat "$tmp/$scenario.port")" 16 12
        else
            relay_run "rfc2217-$scenario" "rfc2217://127.0.0.1:$(cat "$tmp/$scenario.port")" 16
        fi
        echo "--- what the server was asked"
        cat "$tmp/$scenario.requests"
    done

    # a far end at 19200 behind ser2net, raw and RFC 2217
    for kind in raw rfc2217; do
        chain_start "wrongbaud-$kind" "$kind" --wrong-baud 19200
        local target=127.0.0.1:$port
        [ "$kind" = raw ] || target=rfc2217://$target
        relay_run "wrongbaud-$kind" "$target" 16 -- --expect-clean
        kill "$ser2net"
        wait "$ser2net" 2>/dev/null || true
        far_stop "wrongbaud-$kind"
    done

    # a lossy, slow far end over raw TCP (each echo late by 20 ms)
    far_start loss --listen 127.0.0.1:0 --drop 20 --latency 20 --seed 7
    relay_run loss "127.0.0.1:$(listening_port loss)" 16 16 -- --expect-clean
    far_stop loss

    # a serial device: one end of a socat pty pair, `farend --port` on the other
    socat "pty,link=$tmp/serial.side,rawer" "pty,link=$tmp/serial.dev,rawer" & pids+=($!)
    wait_for "$tmp/serial.side"
    wait_for "$tmp/serial.dev"
    far_start serial --port "$tmp/serial.dev" --latency 20
    relay_run serial "$tmp/serial.side" 16
    far_stop serial

    # the far end's own line, straight to the tester
    socat "pty,link=$tmp/port.side,rawer" "pty,link=$tmp/port.dev,rawer" & pids+=($!)
    wait_for "$tmp/port.side"
    wait_for "$tmp/port.dev"
    far_start port --port "$tmp/port.dev" --corrupt 30 --seed 3
    sleep 0.3
    echo "=== tester on a far end's serial device"
    tester "$tmp/port.side" 24
    far_stop port

    # the mocked COM3 (only where the machine has no /dev/COM3 of its own to be reached)
    if [ ! -e /dev/COM3 ]; then
        status=0
        "$farend" --report "$tmp/mocked.json" -- sh -c \
            'for c in 0 1 2 3 4 5 6 7; do printf $c; sleep 0.03; done >/dev/COM3; exit 3' \
            2>"$tmp/mocked.err" || status=$?
        echo "=== far end on the mocked COM3"
        show "standard error" "$tmp/mocked.err"
        show "report" "$tmp/mocked.json"
        echo "--- exit status $status"
    fi

    # a target that does not answer the offer of COM Port Control
    far_start plain --listen 127.0.0.1:0 --silent
    refuse "not RFC 2217" --relay "rfc2217://127.0.0.1:$(listening_port plain)" \
        --link "$tmp/refused-COM3"
    far_stop plain

    : >"$tmp/exists"
    : >"$tmp/plainfile"
    refuse "link exists" --relay 127.0.0.1:1 --link "$tmp/exists"
    refuse "connection refused" --relay 127.0.0.1:1 --link "$tmp/COM3-x"
    refuse "rfc2217 connection refused" --relay rfc2217://127.0.0.1:1 --link "$tmp/COM3-x"
    refuse "relay no such device" --relay /dev/farend-no-such-device --link "$tmp/COM3-x"
    refuse "relay not a terminal" --relay "$tmp/plainfile" --link "$tmp/COM3-x"
    refuse "port not a terminal" --port "$tmp/plainfile"
    refuse "port no such device" --port /dev/farend-no-such-device
    refuse "report not writable" --listen 127.0.0.1:0 --report /nonexistent-farend-dir/r.json
    refuse "stream not writable" --relay 127.0.0.1:1 --link "$tmp/COM3-x" \
        --report-stream /nonexistent-farend-dir/s.jsonl
    refuse "report and stream one file" --relay 127.0.0.1:1 --report "$tmp/same" \
        --report-stream "$tmp/./same"
    for address in nowhere rfc2217://nowhere 127.0.0.1:70000 127.0.0.1:0 "[::1" "[::1]:" :4001 \
                   127.0.0.1: 127.0.0.1:x1 rfc2217:// ""; do
        refuse "relay address \"$address\"" --relay "$address" --link "$tmp/COM3-x"
    done
    for address in 127.0.0.1:65536 x:y "" "[::1]" 127.0.0.1:-1 123456; do
        refuse "listen address \"$address\"" --listen "$address"
    done
    refuse "drop too high" --drop 200
    refuse "corrupt negative" --corrupt -1
    refuse "latency not a number" --latency soon
    refuse "interval too short" --relay 127.0.0.1:1 --interval 0.05
    refuse "interval nan" --relay 127.0.0.1:1 --interval nan
    refuse "wrong baud not whole" --wrong-baud 19200.5
    refuse "wrong baud too low" --wrong-baud 10
    refuse "hangup after too high" --hangup-after 1e16
    refuse "seed negative" --seed -1
    refuse "seed missing" --seed
    refuse "relay missing" --relay
    refuse "stream empty" --relay 127.0.0.1:1 --report-stream ""
    refuse "ambiguous" --rep x
    refuse "takes no value" --relay 127.0.0.1:1 --expect-clean=yes
    refuse "unknown option" --bogus
    refuse "stray word" --listen 0 stray
    refuse "port and listen" --port /dev/ttyS9 --listen 0
    refuse "relay twice" --relay a:1 --relay b:2
    refuse "relay with a command" --relay 127.0.0.1:1 -- true
    refuse "relay with far-end options" --relay 127.0.0.1:1 --drop 5
    refuse "link without relay" --listen 0 --link "$tmp/COM3-x"
    refuse "silent with drop" --silent --drop 5
}

# farend with ARGS, expected to refuse: its output and status.
refuse() {   # name args...
    local name=$1
    shift
    local status=0
    timeout 20 "$farend" "$@" >"$tmp/refuse.out" 2>"$tmp/refuse.err" || status=$?
    echo "=== refused: $name"
    cat "$tmp/refuse.out" "$tmp/refuse.err"
    echo "--- exit status $status"
}

# into a file, not a pipe: the peers left running in the background would hold a pipe open
all_runs >"$tmp/outputs"
TMPDIR_SEEN=$tmp python3 - "$tmp/outputs" <<'EOF'
import os, re, sys
tmp = os.environ["TMPDIR_SEEN"]
text = open(sys.argv[1]).read().replace(tmp, "$TMP")
# the ports the runs took (those the refusals name are below 1024 or no ports at all)
text = re.sub(r"(127\.0\.0\.1|\[::1\]):(\d+)\b",
              lambda m: m.group(1) + (":PORT" if 1024 <= int(m.group(2)) <= 65535 else
                                      ":" + m.group(2)), text)
# histograms inside JSON: the arrays, however long, as one
text = re.sub(r'("(?:round_trip_histogram_ms|gap_histogram_ms)": ?)\[[^\]]*\]', r'\1"H"', text)

def masked(line):
    # a JSON line (the stream) or a JSON document's line (the report)
    line = re.sub(r'("(?:elapsed_s|from_s|to_s|at_s|first_to_last_s|suspended_s|p50|p90|p99|'
                  r'p99_9|max|median|lan|lan_smoothed|wire|rest|rtt_median_ms|lan_rtt_ms|'
                  r'wire_ms|gaps_over_twice_median|released_by_a_later_send|reads|'
                  r'replies_per_read|segments_received|bytes_received)": ?)-?[0-9.e+-]+', r'\1"T"', line)
    line = re.sub(r'("(?:started|ended)": ?)"[^"]*"', r'\1"T"', line)
    # interval lines: the round trip's three columns; an interval's end is a whole multiple of
    # the interval but for the last, which is given to the hundredth as a run's start is
    m = re.match(r"^( *[0-9]+\.[0-9]+)((?: +\d+){5})((?: +\S+){3})(.*)$", line)
    if m:
        cells = "".join(" %6s" % ("T" if re.match(r"^[0-9.]+$", c) else c)
                        for c in m.group(3).split())
        line = m.group(1) + m.group(2) + cells + m.group(4)
    line = re.sub(r"^ *[0-9]+\.[0-9]{2}(?=  )", "%7s" % "T", line)
    line = re.sub(r": [0-9.]+ s, (\d+ runs? ---)$", r": T s, \1", line)
    line = re.sub(r"(round trip \(ms\)|period \(ms\)): .*", r"\1: T", line)
    line = re.sub(r"^  \d+ gaps? (over twice the median)", r"  T gap(s) \1", line)
    line = re.sub(r"first to last [0-9.]+ s", "first to last T s", line)
    line = re.sub(r"\b[0-9]+\.[0-9]+ ms\b", "T ms", line)
    line = re.sub(r"(accounts for |of the )[0-9.]+ ms", r"\1T ms", line)
    line = re.sub(r"smoothed [0-9.]+\)", "smoothed T)", line)
    line = re.sub(r"(times? for )[0-9.]+ s", r"\1T s", line)
    # how the replies fell into reads and segments, and which came just after a later send
    line = re.sub(r"^(replies: \d+) in \d+ reads \([0-9.]+ a read\)", r"\1 in T reads (T a read)", line)
    line = re.sub(r"\d+ echoe?s? \([0-9.]+%\) (came one LAN round)", r"T echoes (T%) \1", line)
    line = re.sub(r"received in \d+ segments", "received in T segments", line)
    line = re.sub(r" is /dev/pts/\d+ ", " is /dev/pts/N ", line)
    return line


out = []
section = ""
paragraph = []   # a line with the lines wrapped from it


def flush():
    # a paragraph with a time in it is joined, as its breaks move with the time's digits
    global paragraph
    joined = " ".join([paragraph[0]] + [p.strip() for p in paragraph[1:]]) if paragraph else ""
    if len(paragraph) > 1 and masked(joined) != joined:
        out.append(masked(joined))
    else:
        out.extend(masked(p) for p in paragraph)
    paragraph = []


for line in text.split("\n"):
    if line.startswith("=== ") or re.match(r"^--- (tester|interval lines|standard error|report|"
                                           r"stream|exit status|what the server)", line):
        section = line   # a heading of this script's, not a summary's first line
    # a text histogram: its rows, however many, as one
    if re.match(r"^ +[0-9.]+ - +[0-9.]+ ms \|#* *\| \d+$", line):
        if not out or out[-1] != "  H" or paragraph:
            flush()
            out.append("  H")
        continue
    wrapped = (section == "--- standard error" and re.match(r"^ {4}\S", line)) or \
              (section == "--- interval lines" and re.match(r"^ {8}\S", line))
    if not (wrapped and paragraph):
        flush()
    paragraph.append(line)
flush()
sys.stdout.write("\n".join(out))
EOF
