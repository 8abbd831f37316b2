#!/usr/bin/env bash
# The relay in front of a real device server: ser2net (raw, then RFC 2217) on one end of a
# socat pty pair, `farend --port --latency 2` echoing on the other, `farend --relay` making COM3
# at a private path, and a scripted tester sending the test cycle at 1 ms and 10 ms. Prints the
# relay's summary line for each run. Loopback only; nothing under /dev is touched.
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
    accepter="tcp,127.0.0.1,17111"; target=127.0.0.1:17111
    [ $mode = raw ] || { accepter="telnet(rfc2217),tcp,127.0.0.1,17112"; target=rfc2217://127.0.0.1:17112; }
    printf '%%YAML 1.1\n---\nconnection: &c\n  accepter: %s\n  connector: serialdev,%s,19200e71,local\n' \
        "$accepter" "$tmp/server" >"$tmp/$mode.yaml"
    ser2net -n -c "$tmp/$mode.yaml" -P "$tmp/$mode.pid" 2>/dev/null & s2n=$!; pids+=($s2n)
    sleep 0.5
    for period in 1 10; do
        build/farend --relay "$target" --link "$tmp/COM3" 2>"$tmp/relay.err" & relay=$!
        for _ in $(seq 50); do [ -L "$tmp/COM3" ] && break; sleep 0.1; done
        python3 - "$tmp/COM3" "$seconds" "$period" <<'PY'
import os, select, sys, termios, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
a = termios.tcgetattr(fd)
a[0] = a[1] = a[3] = 0; a[2] = termios.CS8 | termios.CREAD | termios.CLOCAL
a[4] = a[5] = termios.B9600
termios.tcsetattr(fd, termios.TCSANOW, a)
cycle = b"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
period = float(sys.argv[3]) / 1000; n = int(float(sys.argv[2]) / period)
t = time.monotonic()
for i in range(n):   # as the tester's tick: write, then read for what is left of the period
    os.write(fd, cycle[i % 36:i % 36 + 1]); t += period
    while (d := t - time.monotonic()) > 0:
        if select.select([fd], [], [], d)[0]: os.read(fd, 100)
time.sleep(0.3)
PY
        sleep 0.3
        kill -INT $relay; wait $relay || true
        echo "$mode, period $period ms: $(tail -1 "$tmp/relay.err")"
    done
    kill $s2n; wait $s2n 2>/dev/null || true
done
