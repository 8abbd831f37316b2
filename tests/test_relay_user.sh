#!/usr/bin/env bash
# The relay, run as root, makes a COM3 that the real tester run as an ordinary user opens: the
# relay in front of `farend --listen`, COM3 at /dev/COM3 in a private mount namespace (the
# machine's /dev is left alone), the tester as nobody on a private X display.
#   1. the relay run through sudo (SUDO_UID): nobody owns COM3, and a run at 10 ms through it
#      is echoed byte for byte;
#   2. nobody in group dialout, COM3's default group: the tester opens it;
#   3. --mode 0600: nobody is refused, and the tester says "Port could not open.";
#   4. a relay run as nobody cannot give COM3 to group root: it says so and ends with 2.
# Needs root (status 77, a skip, otherwise). LOOPTEST_BUILD is the build tree (default build/).
set -euo pipefail
self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
cd "$(dirname "$0")/.."
source tests/support/asnobody.sh "$@"
fail() {
    echo "FAIL: $*" >&2
    for f in "$work"/*.err "$work"/*.out; do [ -s "$f" ] && { echo "--- $f"; cat "$f"; }; done >&2
    exit 1
}

nobody=(setpriv --reuid=65534 --regid=65534)

pids=()
cleanup() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
}
source scripts/xsession.sh
trap 'cleanup; _xs_cleanup; rm -rf "$work"' EXIT

"$build/farend" --listen 127.0.0.1:0 2>"$work/echo.err" & pids+=($!)
wait_for grep -q "listening on" "$work/echo.err" || fail "farend --listen did not start"
target=$(grep -o "127\.0\.0\.1:[0-9]*" "$work/echo.err")

# start_relay [VAR=VALUE]... -- [OPTION]...: the relay on /dev/COM3 (its pid in $relay)
start_relay() {
    local env=()
    while [ "$1" != -- ]; do env+=("$1"); shift; done
    shift
    env -u SUDO_UID "${env[@]}" "$build/farend" --relay "$target" "$@" >"$work/lines.out" \
        2>"$work/relay.err" &
    relay=$!
    pids+=($relay)
    wait_for test -L /dev/COM3 || fail "the relay made no /dev/COM3"
}
stop_relay() {
    kill -INT "$relay"
    wait "$relay" || fail "the relay ended with status $?"
}
# start_tester GROUPS: the tester as nobody with these supplementary groups (its pid in $tester)
start_tester() {
    "${nobody[@]}" --groups="$1" env HOME=/nonexistent XDG_RUNTIME_DIR="$work/runtime" \
        "$work/bin/looptest" >"$work/tester.out" \
        2>"$work/tester.err" &
    tester=$!
    pids+=($tester)
}

echo "== 1. through sudo: COM3 is the user's"
start_relay SUDO_UID=65534 --
grep -qx "farend: /dev/COM3 is /dev/pts/[0-9]* (crw-rw---- nobody dialout)" "$work/relay.err" ||
    fail "COM3 is not nobody's, mode 0660, group dialout"
start_tester 65534
window=$(tester_window) || true
[ -n "$window" ] || fail "the tester run as nobody showed no window: $(cat "$work/tester.out")"
choose_period "$window" 10   # "1000" down to "10"
click_start_stop "$window"
sleep 1
click_start_stop "$window"
sleep 0.3
close_window "$window"
wait "$tester" || fail "the tester ended with status $?"
[ ! -s "$work/tester.out" ] || fail "the tester said: $(cat "$work/tester.out")"
stop_relay
grep "^sends" "$work/relay.err"
sends=$(sed -n 's/^sends \([0-9]*\), echoes \([0-9]*\), lost 0 .*/\1 \2/p' "$work/relay.err")
read -r sent echoed <<<"${sends:-0 -1}"
[ "$sent" -gt 10 ] && [ "$sent" = "$echoed" ] || fail "the user's run was not echoed byte for byte"
grep -q "tester on the wire: $sent bytes, test cycle exact" "$work/relay.err" ||
    fail "the tester's bytes were not the test cycle"

echo "== 2. a user in group dialout opens COM3"
start_relay --
start_tester 65534,"$(getent group dialout | cut -d: -f3)"
window=$(tester_window) || true
[ -n "$window" ] || fail "the tester in group dialout showed no window: $(cat "$work/tester.out")"
grep -q "run 1: the tester opened COM3" "$work/lines.out" || fail "the relay saw no run"
close_window "$window"
wait "$tester" || fail "the tester ended with status $?"
stop_relay
echo "the tester opened COM3 as a member of dialout"

echo "== 3. --mode 0600: the user is refused"
start_relay -- --mode 0600
start_tester 65534,"$(getent group dialout | cut -d: -f3)"
status=0
wait "$tester" || status=$?
[ "$(cat "$work/tester.out")" = "Port could not open." ] && [ "$status" -eq 0 ] ||
    fail "expected 'Port could not open.' and status 0, got status $status"
stop_relay
grep -q "run 1:" "$work/lines.out" && fail "a run started though no one could open COM3"
echo "the tester said: Port could not open."

echo "== 4. a relay that may not give COM3 what was asked refuses to start"
mkdir -m 777 "$work/own"
status=0
"${nobody[@]}" --clear-groups "$work/bin/farend" --relay "$target" -l "$work/own/COM3" \
    --group root >"$work/refused.out" 2>"$work/refused.err" || status=$?
cat "$work/refused.err"
grep -qx "farend: cannot give /dev/pts/[0-9]* to group root: Operation not permitted" \
    "$work/refused.err" && [ "$status" -eq 2 ] && [ "$(wc -l <"$work/refused.err")" -eq 1 ] ||
    fail "expected one line and status 2, got status $status"
[ ! -e "$work/own/COM3" ] && [ ! -L "$work/own/COM3" ] || fail "the refused relay left its link"
echo "PASS"
