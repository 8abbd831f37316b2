#!/usr/bin/env bash
# What the relay says on chains it was not built on, each made by tests/support/chain.sh from
# real peers (ser2net, a LAN of delay and loss, a far device modelled bit by bit apart from
# farend): Nagle at the device server, retransmits, frame formats and rates off the list, far
# devices slower and faster than the tester with either side set wrong (each run several
# times), a clean chain and random corruption. Each run's outputs go to DIR/NAME; the signs of
# every run (bench/chain_signs.py) to DIR/signs.txt, DIR/signs.jsonl and DIR/signs.md. Needs root for the LAN.
#   usage: bench/relay_verdicts.sh DIR [seconds] [repeats] [NAME-PATTERN]
#          (default 10 s, 3 repeats of the speed cases, every case; build/ must be built)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:?usage: bench/relay_verdicts.sh DIR [seconds] [repeats] [NAME-PATTERN]}
seconds=${2:-10}
repeats=${3:-3}
pattern=${4:-}
mkdir -p "$dir"

run() {   # NAME CHAIN-OPTION...
    local name=$1
    shift
    [[ -z "$pattern" || "$name" == $pattern ]] || return 0
    echo "== $name"
    rm -rf "${dir:?}/$name"
    tests/support/chain.sh --out "$dir/$name" --seconds "$seconds" --capture "$@" >/dev/null ||
        echo "   chain.sh failed: $?"
}

# Nagle at the device server: a 20 ms LAN, then loopback, each without and with nodelay
for mode in raw rfc2217; do
    flag=()
    [ $mode = raw ] || flag=(--rfc2217)
    run nagle-lan20-$mode "${flag[@]}" --delay 10
    run nagle-lan20-$mode-nodelay "${flag[@]}" --delay 10 --nodelay
    run nagle-loopback-$mode "${flag[@]}"
    run nagle-loopback-$mode-nodelay "${flag[@]}" --nodelay
done
# ser2net's own packing (chardelay: two characters' time) off, Nagle off: what is left is the far side
run chardelay-off-lan20-raw-nodelay --delay 10 --nodelay --no-chardelay
run chardelay-off-loopback-raw-nodelay --nodelay --no-chardelay
# retransmits: 5% loss each way on the 20 ms LAN
run loss5-lan20-raw --delay 10 --loss 5 --seed 1
run loss5-lan20-raw-nodelay --delay 10 --loss 5 --seed 1 --nodelay

# the far device's format or rate, everything else at the tester's 9600 8N1 (RFC 2217, loopback)
for format in 7E1 7N1 8O1 8E1 8N2 8M1 8S1 5N1 6N1 7O2; do
    run format-$format --rfc2217 --device 9600,$format
done
for rate in 31250 14400 250000 7200; do
    run rate-$rate --rfc2217 --device $rate,8N1
done
for i in $(seq "$repeats"); do
    for rate in 1200 4800 19200 57600 115200; do
        run speed-device-$rate-$i --rfc2217 --device $rate,8N1
        run speed-port-$rate-$i --rfc2217 --port $rate,8N1
    done
    run clean-$i --rfc2217
    run corrupt30-$i --rfc2217 -- build/farend --port {} --corrupt 30 --seed "$i"
    run corrupt30-nodelay-$i --rfc2217 --nodelay -- build/farend --port {} --corrupt 30 --seed "$i"
done

python3 bench/chain_signs.py "$dir"/*/ >"$dir/signs.txt"
python3 bench/chain_signs.py --json "$dir"/*/ >"$dir/signs.jsonl"
python3 bench/chain_signs.py --table "$dir"/*/ >"$dir/signs.md"
echo "the signs of each run: $dir/signs.txt (a table: signs.md)"
