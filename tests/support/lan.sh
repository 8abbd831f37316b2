#!/usr/bin/env bash
# Runs a command with a LAN of delay and loss beside it: two private network namespaces joined by
# the user-space delay line (build/delayline), torn down with everything in them when the command
# ends, however it ends.
#   usage: tests/support/lan.sh [--delay MS] [--jitter MS] [--loss PERCENT] [--seed N] -- COMMAND...
# COMMAND runs here, with
#   LAN_NEAR, LAN_FAR        the two namespaces, for `nsenter --net="$LAN_FAR" ser2net ...`
#   LAN_NEAR_IP, LAN_FAR_IP  their addresses on the line (198.18.0.1 and 198.18.0.2)
# Its exit status is COMMAND's; 77 (a test's "skipped") when not root, 2 for a usage error.
# The delay line's counts (packets forwarded and dropped each way) go to standard error at the end.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
delayline=${DELAYLINE:-$here/../../build/delayline}

args=()
while (($#)) && [ "$1" != -- ]; do args+=("$1"); shift; done
if [ "${1:-}" != -- ] || [ $# -lt 2 ]; then
    echo "usage: lan.sh [--delay MS] [--jitter MS] [--loss PERCENT] [--seed N] -- COMMAND..." >&2
    exit 2
fi
shift
if [ "$(id -u)" -ne 0 ]; then
    echo "lan.sh: skipped: needs root (network namespaces and TUN devices)" >&2
    exit 77
fi
[ -x "$delayline" ] || { echo "lan.sh: no $delayline: build it first (cmake --build build)" >&2; exit 2; }

tmp=$(mktemp -d)
"$delayline" "${args[@]}" >"$tmp/lines" &
line=$!

# every process whose network namespace is one of the line's
in_lan() {
    local p ns
    for p in /proc/[0-9]*; do
        ns=$(readlink "$p/ns/net" 2>/dev/null) || continue
        [ "$ns" = "$near_ns" ] || [ "$ns" = "$far_ns" ] && echo "${p#/proc/}"
    done
    return 0
}
teardown() {
    local status=$? left
    if [ -n "${near_ns:-}" ]; then
        left=$(in_lan | grep -vx "$line" || true)
        [ -z "$left" ] || kill $left 2>/dev/null || true
        for _ in $(seq 20); do
            left=$(in_lan | grep -vx "$line" || true)
            [ -z "$left" ] && break
            sleep 0.1
        done
        [ -z "$left" ] || kill -KILL $left 2>/dev/null || true
    fi
    kill "$line" 2>/dev/null || true
    wait "$line" 2>/dev/null || true
    rm -rf "$tmp"
    exit "$status"
}
trap teardown EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

for _ in $(seq 100); do grep -qx ready "$tmp/lines" && break; kill -0 "$line" 2>/dev/null || break; sleep 0.05; done
grep -qx ready "$tmp/lines" || { echo "lan.sh: the delay line did not start" >&2; exit 1; }
read -r _ LAN_NEAR LAN_NEAR_IP < <(grep '^near ' "$tmp/lines")
read -r _ LAN_FAR LAN_FAR_IP < <(grep '^far ' "$tmp/lines")
near_ns=$(readlink "$LAN_NEAR")
far_ns=$(readlink "$LAN_FAR")
export LAN_NEAR LAN_FAR LAN_NEAR_IP LAN_FAR_IP

"$@"
