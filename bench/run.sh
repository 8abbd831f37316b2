#!/usr/bin/env bash
# Every benchmark, printed as the tables the README shows. Takes about five minutes.
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
echo "### Whole program against farend, window shown (10 s each)"
echo
bench/exchange.sh 10
