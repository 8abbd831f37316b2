#!/usr/bin/env bash
# A whole test chain on this machine, without hardware: a pair of pseudo-terminals joined by socat
# as the RS-232C line, farend on one end as the far device, ser2net on the other as the device
# server (raw TCP and RFC 2217 on free ports), and the relay making /dev/COM3 in front of it,
# through sudo unless run as root. It prints the one command left, the tester's; Ctrl+C ends the
# relay with its summary and the whole chain with it, with the relay's exit status.
#
#   scripts/chain.sh [--raw] [FAR-DEVICE OPTION]... [-- RELAY OPTION]...
#
#   --raw               the relay talks raw TCP to ser2net (default: RFC 2217)
#   FAR-DEVICE OPTION   a fault of the far device, any of farend's: --far-device 9600,7E1,
#                       --drop 5, --latency 20, ... (farend --help)
#   RELAY OPTION        any of the relay's: --expect-clean, --report-stream FILE, ...
#                       (farend --relay --help)
# LOOPTEST_BUILD is the build tree the programs are taken from (default build/).
set -euo pipefail
build=${LOOPTEST_BUILD:-$(cd "$(dirname "$0")/.." && pwd)/build}
farend=$build/farend
say() { echo "chain.sh: $*"; }
fail() { echo "chain.sh: $*" >&2; exit "${status:-2}"; }

protocol=rfc2217
device_options=()
relay_options=()
while (($#)); do
    case $1 in
        -h | --help) sed -n '2,/^set -e/{/^set -e/d; s/^# \{0,1\}//; p}' "$0"; exit 0 ;;
        --raw) protocol=raw ;;
        --) shift; relay_options=("$@"); break ;;
        *) device_options+=("$1") ;;
    esac
    shift
done
[ -x "$farend" ] || fail "no $farend: build it first (./run.sh, or scripts/setup.sh --programs)"
for tool in socat ser2net python3 ss; do
    command -v "$tool" >/dev/null ||
        fail "$tool is missing: sudo apt install socat ser2net python3 iproute2"
done
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

lab=$(mktemp -d /tmp/looptest-chain.XXXXXX)
pids=()
# the chain's pieces end with it, whatever ends it
cleanup() {
    if ((${#pids[@]})); then
        kill "${pids[@]}" 2>/dev/null || true
        wait "${pids[@]}" 2>/dev/null || true
    fi
    rm -rf "$lab"
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 129' HUP
# the pieces in sessions of their own: Ctrl+C reaches the relay alone, which must see its
# target still there to end with its summary; the pieces end after it
piece() { setsid "$@" & }
# up to 30 s, as a busy machine may need
wait_for() { for _ in $(seq 300); do "$@" && return 0; sleep 0.1; done; return 1; }
running() { kill -0 "$1" 2>/dev/null; }
# ended PID LOG NAME: a piece that did not start: its own words, and its status as ours
ended() {
    if running "$1"; then
        cat "$2" >&2
        status=1 fail "$3 did not start within 30 s"
    fi
    status=0
    wait "$1" || status=$?
    cat "$2" >&2
    ((status)) || status=1
    fail "$3 ended (status $status)"
}

piece socat "pty,link=$lab/server,rawer" "pty,link=$lab/device,rawer" 2>"$lab/socat.log"
pids+=($!)
wait_for test -e "$lab/device" -a -e "$lab/server" || ended "${pids[-1]}" "$lab/socat.log" socat

piece "$farend" --port "$lab/device" "${device_options[@]}" >/dev/null 2>"$lab/device.log"
device=$!
pids+=("$device")
ready() { ! running "$device" || grep -qs "serving on" "$lab/device.log"; }
wait_for ready && running "$device" || ended "$device" "$lab/device.log" "the far device"

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
raw_port=$(free_port)
rfc_port=$(free_port)
while [ "$rfc_port" = "$raw_port" ]; do rfc_port=$(free_port); done
# tcp(nodelay): without it ser2net holds each echo until the next byte reaches it
cat >"$lab/ser2net.yaml" <<EOF
%YAML 1.1
---
connection: &raw
  accepter: tcp(nodelay),127.0.0.1,$raw_port
  connector: serialdev,$lab/server,9600n81,local
connection: &rfc2217
  accepter: telnet(rfc2217),tcp(nodelay),127.0.0.1,$rfc_port
  connector: serialdev,$lab/server,9600n81,local
EOF
piece ser2net -d -c "$lab/ser2net.yaml" >"$lab/ser2net.log" 2>&1
pids+=($!)
listening() { ss -Hltn "sport = :$1" | grep -q . || ! running "${pids[-1]}"; }
wait_for listening "$raw_port" && wait_for listening "$rfc_port" && running "${pids[-1]}" ||
    ended "${pids[-1]}" "$lab/ser2net.log" "ser2net"

target=rfc2217://127.0.0.1:$rfc_port
[ "$protocol" = rfc2217 ] || target=127.0.0.1:$raw_port
tester=$(realpath --relative-to="$PWD" "$build/looptest")
case $tester in ../*) tester=$build/looptest ;; esac
say "the line: $lab/server and $lab/device, a pseudo-terminal pair (socat)"
say "the far device: farend --port $lab/device ${device_options[*]}"
say "the device server: ser2net on 127.0.0.1, port $raw_port raw TCP, $rfc_port RFC 2217"
say "the relay: farend --relay $target ${relay_options[*]}${sudo:+ (through sudo: it makes /dev/COM3)}"
echo
echo "Start the tester in another terminal:  $tester"
echo "Ctrl+C here ends the relay with its summary, and the chain with it."
echo
status=0
$sudo "$farend" --relay "$target" "${relay_options[@]}" || status=$?
exit "$status"
