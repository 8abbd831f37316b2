#!/usr/bin/env bash
# The relay in front of a real device server: ser2net (raw, then RFC 2217) on one end of a
# socat pty pair, `farend --port --latency 2` echoing on the other, `farend --relay` making COM3
# at a private path, and a scripted tester sending the test cycle at 1 ms and 10 ms. Prints the
# relay's summary block for each run. Loopback only; nothing under /dev is touched.
#   usage: bench/relay_chain.sh [seconds]   (default 10; build/ must be built)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
tmp=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$tmp"' EXIT
socat "pty,link=$tmp/server,rawer" "pty,link=$tmp/device,rawer" & pids+=($!)
sleep 0.5
build/farend --port "$tmp/device" --latency 2 2>"$tmp/farend.err" & pids+=($!)
for mode in raw rfc2217; do
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    accepter="tcp,127.0.0.1,$port"; target=127.0.0.1:$port
    [ $mode = raw ] || { accepter="telnet(rfc2217),tcp,127.0.0.1,$port"; target=rfc2217://127.0.0.1:$port; }
    printf '%%YAML 1.1\n---\nconnection: &c\n  accepter: %s\n  connector: serialdev,%s,19200e71,local\n' \
        "$accepter" "$tmp/server" >"$tmp/$mode.yaml"
    ser2net -n -c "$tmp/$mode.yaml" -P "$tmp/$mode.pid" 2>/dev/null & s2n=$!; pids+=($s2n)
    sleep 0.5
    for period in 1 10; do
        build/farend --relay "$target" --link "$tmp/COM3" --interval 0 2>"$tmp/relay.err" & relay=$!
        for _ in $(seq 50); do [ -L "$tmp/COM3" ] && break; sleep 0.1; done
        python3 bench/com3tester.py "$tmp/COM3" "$seconds" tick "$period" >/dev/null
        sleep 0.3
        kill -INT $relay; wait $relay || true
        echo "$mode, period $period ms:"; sed -n '/^---/,$p' "$tmp/relay.err"
    done
    kill $s2n; wait $s2n 2>/dev/null || true
done
