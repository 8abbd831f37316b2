#!/usr/bin/env bash
# Sets up, builds the two programs and starts the tester: on the real COM3 where this machine has
# one, otherwise against the simulated far end (farend). The tests are ./test.sh's.
set -euo pipefail
cd "$(dirname "$0")"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: run this from a desktop session (or set DISPLAY)." >&2
    exit 1
fi
echo "Building looptest and farend in build/: the first build takes a few minutes" \
    "(log: build/build.log)."
scripts/setup.sh --programs

# /dev/COM3 is COM3 wherever it exists; otherwise a /dev/ttyS2 that answers is
if [ -e /dev/COM3 ] || [ -L /dev/COM3 ]; then
    echo "Running looptest on the real COM3 (/dev/COM3)."
    exec build/looptest
elif stty -F /dev/ttyS2 >/dev/null 2>&1; then
    echo "Running looptest on the real COM3 (/dev/ttyS2)."
    exec build/looptest
else
    echo "No COM3 on this machine: running looptest against the simulated far end (build/farend)."
    exec build/farend "$@"
fi
