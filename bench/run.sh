#!/usr/bin/env bash
# Every benchmark, printed as the tables the README shows. Takes about 28 minutes, ten of them
# the memory run.
#   usage: bench/run.sh   (after ./test.sh or scripts/setup.sh has built build/)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build build -j"$(nproc)" >/dev/null
source scripts/xsession.sh

echo "### Timer, window shown (10 s per period)"
echo
build/timer_bench 10 2>/dev/null
echo
echo "### Tick cost and log memory (far end's reply already waiting)"
echo
QT_QPA_PLATFORM=offscreen umockdev-wrapper build/tick_bench 1000000 2>/dev/null
echo
echo "### The log: one insertion, and memory (window shown, offscreen)"
echo
echo "| control | case | characters logged | median µs | p99 µs | repaint µs |"
echo "|---|---|---|---|---|---|"
for control in new old; do
    QT_QPA_PLATFORM=offscreen build/log_bench "$control" 2>/dev/null >"$_xs_tmp/log_$control"
    grep "^|" "$_xs_tmp/log_$control"
done
echo
grep -h "bytes per" "$_xs_tmp/log_new" "$_xs_tmp/log_old"
echo
echo "### Whole program against farend, window shown (10 s each)"
echo
bench/exchange.sh 10
echo
echo "### Whole program against a far end at the wrong baud rate, window shown"
echo
bench/longrun.sh wrongbaud
echo
echo "### Memory of the whole program over ten minutes at 1 ms, window shown"
echo
bench/longrun.sh memory 600
echo
echo "### The relay against socat"
echo
bench/relay_cost.sh 20 2
echo
echo "### The chain diagnosis: the speed recogniser and the RFC 2217 client"
echo
build/diagnosis_bench
