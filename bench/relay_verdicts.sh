#!/usr/bin/env bash
# What the relay says on chains it was not built on, each made by tests/support/chain.sh from
# real peers (ser2net, a LAN of delay and loss, a far device modelled bit by bit apart from
# farend): Nagle at the device server on loopback, across a 20 ms LAN and across a 50 ms one
# losing 3%, each with and without tcp(nodelay), raw and RFC 2217, with a prompt far device and
# with a slow one (15 ms an answer); retransmits; frame formats and rates off the list (56 000
# among them); far devices slower and faster than the tester with either side set wrong (each
# run several times); a far device set to 19200 halfway through; a clean chain, losses and
# random corruption.
#
# With --farend LABEL=PATH given once or more, each chain runs with each of those relays by
# turns (the far devices stay this tree's), into DIR/LABEL/NAME, and with two or more
# DIR/compare.md sets their figures side by side (bench/chain_signs.py --compare); without,
# build/farend runs each chain into DIR/NAME. The signs of every run (bench/chain_signs.py) go to
# signs.txt, signs.jsonl and signs.md beside the runs. Needs root for the LANs.
#   usage: bench/relay_verdicts.sh [--farend LABEL=PATH]... DIR [seconds] [repeats] [NAME-PATTERN]
#          (default 10 s, 3 repeats of the speed and noise cases, every case; build/ must be
#          built, for the far devices and the delay line)
set -euo pipefail
cd "$(dirname "$0")/.."
usage() { sed -n '2,/^set -e/{/^set -e/d; s/^# \{0,1\}//; p}' "$0" >&2; exit 2; }
labels=() relays=()
while [ "${1:-}" = --farend ]; do
    [[ "${2:-}" == [A-Za-z0-9]*=?* && "${2%%=*}" != */* ]] || usage
    [ -x "${2#*=}" ] || { echo "relay_verdicts.sh: ${2#*=} is no program" >&2; exit 2; }
    labels+=("${2%%=*}") relays+=("$(realpath "${2#*=}")")
    shift 2
done
(($#)) || usage
dir=$1
seconds=${2:-10}
repeats=${3:-3}
pattern=${4:-}
((${#labels[@]})) || { labels=(""); relays=("$PWD/build/farend"); }
half=$(awk -v s="$seconds" 'BEGIN { print s / 2 }')
mkdir -p "$dir"

turn=0
run() {   # NAME CHAIN-OPTION...
    local name=$1 i out
    shift
    [[ -z "$pattern" || "$name" == $pattern ]] || return 0
    # each relay first in turn, so that a load that comes and goes falls on all alike
    local order=("${!labels[@]}")
    ((turn++ % 2 == 0)) || order=($(printf '%s\n' "${order[@]}" | tac))
    for i in "${order[@]}"; do
        out=$dir${labels[i]:+/${labels[i]}}/$name
        echo "== $name${labels[i]:+ (${labels[i]})}"
        rm -rf "${out:?}"
        FAREND=${relays[i]} tests/support/chain.sh --out "$out" --seconds "$seconds" --capture "$@" \
            >/dev/null || echo "   chain.sh failed: $?"
    done
}

# Nagle at the device server, then a slow far device behind it: loopback, a 20 ms LAN and a
# 50 ms one losing 3%, each without and with nodelay
for mode in raw rfc2217; do
    flag=()
    [ $mode = raw ] || flag=(--rfc2217)
    for lan in loopback lan20 lan50-loss3; do
        case $lan in
            loopback) net=() ;;
            lan20) net=(--delay 10) ;;
            lan50-loss3) net=(--delay 25 --loss 3 --seed 1) ;;
        esac
        for nodelay in "" -nodelay; do
            run nagle-$lan-$mode$nodelay "${flag[@]}" "${net[@]}" ${nodelay:+--nodelay}
            run slow15-$lan-$mode$nodelay "${flag[@]}" "${net[@]}" ${nodelay:+--nodelay} \
                --answer-after 15
        done
    done
done
# ser2net's own packing (chardelay: two characters' time) off, Nagle off: what is left is the far side
run chardelay-off-lan20-raw-nodelay --delay 10 --nodelay --no-chardelay
run chardelay-off-loopback-raw-nodelay --nodelay --no-chardelay
# retransmits: 5% loss each way on the 20 ms LAN
run loss5-lan20-raw --delay 10 --loss 5 --seed 1
run loss5-lan20-raw-nodelay --delay 10 --loss 5 --seed 1 --nodelay

# the far device's format or rate, everything else at the tester's 9600 8N1 (RFC 2217, loopback)
for format in 7E1 7N1 7O1 8O1 8E1 8N2 8M1 8S1 5N1 6N1 7O2; do
    run format-$format --rfc2217 --device 9600,$format
done
run format-7O1-raw --device 9600,7O1
for rate in 31250 14400 250000 7200 56000 10000; do
    run rate-$rate --rfc2217 --device $rate,8N1
done
run rate-56000-raw --device 56000,8N1
run rate-format-2400-7E1 --rfc2217 --device 2400,7E1
run rate-format-4800-8N2 --rfc2217 --device 4800,8N2
run port-4800-7E1 --rfc2217 --port 4800,7E1
# the far device set otherwise halfway through the run
run midrun-19200-rfc2217 --rfc2217 --device-then "$half,19200,8N1"
run midrun-19200-raw --nodelay --device-then "$half,19200,8N1"
for i in $(seq "$repeats"); do
    for rate in 1200 4800 19200 57600 115200; do
        run speed-device-$rate-$i --rfc2217 --device $rate,8N1
        run speed-port-$rate-$i --rfc2217 --port $rate,8N1
    done
    run clean-$i --rfc2217
    run clean-nodelay-$i --nodelay --no-chardelay
    run drop10-$i --rfc2217 --nodelay -- build/farend --port {} --drop 10 --seed "$i"
    run corrupt25-nodelay-$i --rfc2217 --nodelay -- build/farend --port {} --corrupt 25 --seed "$i"
    run corrupt30-$i --rfc2217 -- build/farend --port {} --corrupt 30 --seed "$i"
    run corrupt30-nodelay-$i --rfc2217 --nodelay -- build/farend --port {} --corrupt 30 --seed "$i"
done

sets=()
for label in "${labels[@]}"; do
    d=$dir${label:+/$label}
    sets+=("$d")
    python3 bench/chain_signs.py "$d"/*/ >"$d/signs.txt"
    python3 bench/chain_signs.py --json "$d"/*/ >"$d/signs.jsonl"
    python3 bench/chain_signs.py --table "$d"/*/ >"$d/signs.md"
    echo "the signs of each run: $d/signs.txt (a table: signs.md)"
done
if ((${#sets[@]} > 1)); then
    python3 bench/chain_signs.py --compare "${sets[@]}" >"$dir/compare.md"
    echo "side by side: $dir/compare.md"
fi
