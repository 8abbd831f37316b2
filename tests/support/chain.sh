#!/usr/bin/env bash
# A whole chain for the relay to measure, built from real peers and parts written apart from it:
#
#   scripted tester (bench/com3tester.py) -> COM3 (a private path) -> farend --relay
#     -> [LAN with delay and loss: tests/support/lan.sh] -> ser2net (raw or RFC 2217)
#     -> socat pty pair -> far device (tests/support/uartdevice.py, or a command of your own)
#
#   usage: tests/support/chain.sh [OPTION]... [-- FAR-DEVICE-COMMAND...]
#
#   --out DIR          keep everything in DIR (default: a new temporary directory)
#   --delay MS, --jitter MS, --loss PERCENT, --seed N
#                      a LAN between the relay and ser2net (needs root), MS each way (a slow
#                      lossy LAN of 50 ms round trip: --delay 25 --loss 3); without any: loopback
#   --nodelay          ser2net's accepter with tcp(nodelay): no Nagle at the device server
#   --rfc2217          ser2net's accepter with telnet(rfc2217), the relay's target rfc2217://
#   --no-chardelay     ser2net sends what its port received at once, not after waiting two
#                      characters' time (at least 1 ms) for more, as it does by default
#   --device RATE,FMT  the far device's UART (default 9600,8N1; see uartdevice.py)
#   --answer-after MS  a slow far device: each echo starts MS ms after the device took the byte
#   --device-then S,RATE,FMT
#                      the far device set otherwise mid-run: at RATE,FMT from S seconds after
#                      the first byte
#   --port RATE,FMT    the device server's UART, where it is the one set wrong (default 9600,8N1)
#   --period MS        the tester's period (default 10)
#   --seconds S        how long the tester sends (default 10)
#   --capture          tcpdump the relay's connection on the relay's side
#   --                 a far device of your own on the pty, {} standing for its path, e.g.
#                      -- build/farend --port {} --corrupt 30
#
# Prints the relay's summary block; DIR holds the relay's interval lines (lines.txt), summary
# (summary.txt), report (report.json) and stream (stream.jsonl), the tester's log (tester.log:
# each byte written and each read), the far device's log and summary (device.log, device.txt),
# TCP_INFO of both ends every half second (ss.txt, "near" the relay's socket, "far" ser2net's),
# the capture (capture.txt), the LAN's counts (lan.txt), the command that made it (command.txt)
# and the relay's program (farend.txt).
# Nothing under /dev is touched. Exit status 0 when the chain ran, whatever the relay found.
# The relay is $FAREND when set (another build's, to compare), else $BUILD/farend.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${BUILD:-$root/build}
farend=${FAREND:-$build/farend}

usage() { sed -n '2,/^set -e/{/^set -e/d; s/^# \{0,1\}//; p}' "$0" >&2; exit 2; }
all=("$@")
out="" lan=() nodelay="" rfc2217="" device=9600,8N1 port_settings=9600,8N1 period=10 seconds=10
capture="" far_command=() options="" device_options=()
while (($#)); do
    case $1 in
        --out) out=$2; shift 2 ;;
        --delay|--jitter|--loss|--seed) lan+=("$1" "$2"); shift 2 ;;
        --nodelay) nodelay=1; shift ;;
        --rfc2217) rfc2217=1; shift ;;
        --no-chardelay) options='  options:\n    chardelay: false\n'; shift ;;
        --device) device=$2; shift 2 ;;
        --answer-after|--device-then) device_options+=("$1" "$2"); shift 2 ;;
        --port) port_settings=$2; shift 2 ;;
        --period) period=$2; shift 2 ;;
        --seconds) seconds=$2; shift 2 ;;
        --capture) capture=1; shift ;;
        --) shift; far_command=("$@"); break ;;
        *) usage ;;
    esac
done
if ((${#far_command[@]})) && ((${#device_options[@]})); then
    echo "chain.sh: --answer-after and --device-then are the modelled far device's, not a command's" >&2
    exit 2
fi
[ -n "$out" ] || out=$(mktemp -d)
mkdir -p "$out"
[ -n "${LAN_FAR:-}" ] || { echo "$0 ${all[*]}" >"$out/command.txt"; echo "$farend" >"$out/farend.txt"; }

# across a LAN this script runs again inside lan.sh, which leaves LAN_FAR set
if ((${#lan[@]})) && [ -z "${LAN_FAR:-}" ]; then
    set +e
    "$here/lan.sh" "${lan[@]}" -- "$0" --out "$out" "${all[@]}" 2>"$out/lan.txt"
    status=$?
    grep -v '^delayline:' "$out/lan.txt" >&2
    exit "$status"
fi
if [ -n "${LAN_FAR:-}" ]; then
    near=(nsenter --net="$LAN_NEAR" --) far=(nsenter --net="$LAN_FAR" --)
    host=$LAN_FAR_IP port=2001 iface=lan0   # the namespaces are this run's own
else
    near=() far=() host=127.0.0.1 iface=lo
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
fi

tmp=$(mktemp -d)
pids=()
cleanup() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    rm -rf "$tmp"
}
trap cleanup EXIT
wait_for() { for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done; echo "chain.sh: gave up waiting for $*" >&2; return 1; }

socat "pty,link=$tmp/server,rawer" "pty,link=$tmp/device,rawer" 2>"$tmp/socat.err" & pids+=($!)
wait_for test -e "$tmp/server" -a -e "$tmp/device"
if ((${#far_command[@]})); then
    "${far_command[@]//\{\}/$tmp/device}" 2>"$out/device.txt" & pids+=($!)
else
    python3 "$here/uartdevice.py" "$tmp/device" --device "$device" --port "$port_settings" \
        "${device_options[@]}" --log "$out/device.log" 2>"$out/device.txt" & pids+=($!)
fi

accepter="tcp${nodelay:+(nodelay)},$host,$port" target=$host:$port
[ -z "$rfc2217" ] || { accepter="telnet(rfc2217),$accepter"; target=rfc2217://$target; }
printf "%%YAML 1.1\n---\nconnection: &c\n  accepter: %s\n  connector: serialdev,%s,9600n81,local\n$options" \
    "$accepter" "$tmp/server" >"$tmp/ser2net.yaml"
"${far[@]}" ser2net -n -c "$tmp/ser2net.yaml" -P "$tmp/ser2net.pid" 2>"$tmp/ser2net.err" & pids+=($!)
listening() { "${far[@]}" ss -Hltn "sport = :$port" | grep -q .; }
wait_for listening

if [ -n "$capture" ]; then
    "${near[@]}" tcpdump -i "$iface" -n -tt -l "tcp port $port" >"$out/capture.txt" 2>"$tmp/tcpdump.err" & pids+=($!)
    wait_for grep -q "listening on" "$tmp/tcpdump.err"
fi

"${near[@]}" "$farend" --relay "$target" --link "$tmp/COM3" --report "$out/report.json" \
    --report-stream "$out/stream.jsonl" >"$out/lines.txt" 2>"$out/summary.txt" &
relay=$!
pids+=($relay)
wait_for test -L "$tmp/COM3"

(   # TCP_INFO of the relay's socket and of ser2net's, as ss shows it
    while sleep 0.5; do
        t=$(date +%s.%N)
        "${near[@]}" ss -tinH "dst $host:$port" | sed "s/^/$t near /"
        "${far[@]}" ss -tinH "src $host:$port" | sed "s/^/$t far /"
    done
) >"$out/ss.txt" 2>/dev/null & pids+=($!)

python3 "$root/bench/com3tester.py" "$tmp/COM3" "$seconds" tick "$period" "$out/tester.log" >"$out/tester.txt"
sleep 0.5
kill -INT "$relay"
wait "$relay" || true
sed -n '/^---/,$p' "$out/summary.txt"
echo "chain.sh: the outputs are in $out"
