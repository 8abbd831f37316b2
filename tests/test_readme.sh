#!/usr/bin/env bash
# Runs the README's "Check a chain" as written, so that it cannot go stale: the one-command
# chain (scripts/chain.sh, clean and faulty, the tester started as it says), then the recipe step
# by step, and the manual page from the build tree. Each fenced block after a
# `<!-- recipe: NAME -->` line is taken from README.md and run with only these substitutions:
#   build/farend, build/looptest, build/man  -> the build tree's (LOOPTEST_BUILD, default build/)
#   /tmp/lab                      -> a private directory
#   ports 2000 and 2001           -> free ports the kernel gives
#   sudo                          -> run as root with SUDO_UID/SUDO_GID of nobody, as sudo would
#                                    set them when nobody ran it (the chain's relay too)
# The tester runs as nobody on a private X display and is driven as the README says (period
# 10, start, stop, close); the relay's /dev/COM3 is in a private mount namespace, never the
# machine's. Checked: the relay's verdict and last line, its status (0 clean, 3 not clean with
# --expect-clean), nothing of a chain left running after Ctrl+C, the faulty far device giving
# the verdict the README's sample shows, the raw port, the picture drawn from the stream and
# rendered by rsvg-convert, and farend(1) shown by the README's man line.
# Needs root (status 77, a skip, otherwise). README_KEEP=DIR keeps the outputs in DIR.
set -euo pipefail
self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
cd "$(dirname "$0")/.."
readme=$PWD/README.md
source tests/support/asnobody.sh "$@"
out=${README_KEEP:-$work/out}
mkdir -p "$out"
fail() {
    echo "FAIL: $*" >&2
    for f in "$out"/*.out "$out"/*.err; do [ -s "$f" ] && { echo "--- $f"; tail -40 "$f"; }; done >&2
    exit 1
}

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
raw_port=$(free_port)
rfc_port=$(free_port)
substitute() {
    sed -e "s#\\bbuild/\\(farend\\|looptest\\)\\b#$work/bin/\\1#g" -e "s#\\bbuild/man\\b#$build/man#g" \
        -e "s#/tmp/lab#$work/lab#g" -e "s#\\b2000\\b#$raw_port#g" -e "s#\\b2001\\b#$rfc_port#g"
}
# block NAME: the fenced block after "<!-- recipe: NAME -->" in the README, substituted
block() {
    awk -v name="$1" '
        $0 == "<!-- recipe: " name " -->" { found = 1; next }
        found && /^```/ { if (inside) exit; inside = 1; next }
        inside { print }
    ' "$readme" | substitute
}
for name in chain "chain tester" "chain faulty" "pty pair" "far device" ser2net.yaml ser2net \
    relay "relay raw" tester "faulty far device" output plot man; do
    [ -n "$(block "$name")" ] || fail "the README has no block marked \"recipe: $name\""
done

sudo() { SUDO_UID=65534 SUDO_GID=65534 "$@"; }
export -f sudo
export SUDO_UID=65534 SUDO_GID=65534   # the chain's relay, which runs without sudo as root
groups=()   # process groups started, each ended as a whole (socat's & included)
cleanup() {
    local g
    for g in "${groups[@]}"; do kill -- "-$g" 2>/dev/null || true; done
    for g in "${groups[@]}"; do wait "$g" 2>/dev/null || true; done
}
source scripts/xsession.sh
trap 'cleanup; _xs_cleanup; rm -rf "$work"' EXIT
# start NAME FILE: the block in a process group of its own, its output in $out/FILE (pid: $started)
start() {
    setsid bash -c "$(block "$1")" >"$out/$2.out" 2>"$out/$2.err" &
    started=$!
    groups+=("$started")
}

# run_chain NAME RELAY-BLOCK [TESTER]: the relay (or the whole chain), then the tester as nobody
# sending at 10 ms for a few seconds; then Ctrl+C's signal to the relay's terminal. TESTER is the
# tester's command (default the block "tester"; "printed": the one the chain printed). Sets
# $status, the relay's exit status.
run_chain() {
    local name=$1 window tester command lab
    start "$2" "$name"
    relay=$started
    wait_for test -L /dev/COM3 || fail "$name: the relay made no /dev/COM3"
    grep -q "(crw-rw---- nobody dialout)" "$out/$name.err" ||
        fail "$name: COM3 is not the user's, group dialout, mode 0660"
    command=$(block tester)
    if [ "${3:-}" = printed ]; then
        command=$(sed -n 's/^Start the tester in another terminal: *//p' "$out/$name.out" | substitute)
        [ "$command" = "$(block "chain tester")" ] ||
            fail "$name: the chain printed '$command' for the tester, the README another"
    fi
    setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=/nonexistent \
        XDG_RUNTIME_DIR="$work/runtime" bash -c "$command" >"$out/tester.out" \
        2>"$out/tester.err" &
    tester=$!
    window=$(tester_window) || true
    [ -n "$window" ] || fail "$name: the tester showed no window: $(cat "$out/tester.out")"
    choose_period "$window" 10   # "1000" down to "10"
    click_start_stop "$window"
    sleep 4
    click_start_stop "$window"
    sleep 0.5
    close_window "$window"
    wait "$tester" || fail "$name: the tester ended with status $?"
    [ ! -s "$out/tester.out" ] || fail "$name: the tester said: $(cat "$out/tester.out")"
    # Ctrl+C once the relay has seen the tester go, as a person watching it would
    closed() { awk '/ run 1: / { run = 1 } run && /no traffic \(COM3 not open\)/ { seen = 1 }
                    END { exit !seen }' "$out/$name.out"; }
    wait_for closed || fail "$name: no interval after the run said COM3 was not open"
    kill -INT -- "-$relay"   # Ctrl+C: the signal goes to the terminal's whole group
    status=0
    wait "$relay" || status=$?
    [ ! -L /dev/COM3 ] || fail "$name: the relay left /dev/COM3"
    ! pgrep -g "$relay" >/dev/null || fail "$name: left running after Ctrl+C: $(pgrep -a -g "$relay")"
    if [ "${3:-}" = printed ]; then
        # the chain's pieces, in sessions of their own, are known by the directory it named
        lab=$(sed -n 's#^chain.sh: the line: \(/[^ ]*\)/server .*#\1#p' "$out/$name.out")
        [ -n "$lab" ] || fail "$name: the chain named no directory for its line"
        ! pgrep -f "$lab/" >/dev/null || fail "$name: left running after Ctrl+C: $(pgrep -a -f "$lab/")"
    fi
    grep -q "^  *[0-9.]*  run 1: the tester opened COM3 at 9600 8N1" "$out/$name.out" ||
        fail "$name: no run marked in the interval lines"
    grep -q "^verdict: " "$out/$name.err" || fail "$name: the summary gave no verdict"
}

echo "== the one-command chain, a clean far device"
run_chain chain chain printed
tail -1 "$out/chain.err"
[ "$(tail -1 "$out/chain.err")" = "clean: nothing lost, changed or extra, no line error reported" ] &&
    [ "$status" -eq 0 ] || fail "the chain: status $status, last line $(tail -1 "$out/chain.err")"

echo "== the one-command chain, a faulty far device"
run_chain chain-faulty "chain faulty" printed
grep "^verdict" "$out/chain-faulty.err"
grep -q "^verdict: wrong frame format" "$out/chain-faulty.err" &&
    tail -1 "$out/chain-faulty.err" | grep -q "^not clean: " && [ "$status" -eq 0 ] ||
    fail "the faulty chain: status $status, last line $(tail -1 "$out/chain-faulty.err")"

echo "== the recipe, step by step: pty pair, far device, ser2net"
start "pty pair" socat
wait_for test -e "$work/lab/device" || fail "the pty pair made no $work/lab/device"
start "far device" device
far_device=$started
wait_for grep -qs "serving on" "$out/device.err" || fail "the far device did not start"
block ser2net.yaml >"$work/lab/ser2net.yaml"
start ser2net ser2net
listening() { ss -Hltn "sport = :$1" | grep -q .; }
wait_for listening "$raw_port" && wait_for listening "$rfc_port" || fail "ser2net did not listen"

echo "== the relay through RFC 2217, a clean far device"
run_chain clean relay
grep -A3 "^verdict" "$out/clean.err"
tail -1 "$out/clean.err"
[ "$(tail -1 "$out/clean.err")" = "clean: nothing lost, changed or extra, no line error reported" ] ||
    fail "the last line is not the README's clean line"
[ "$status" -eq 0 ] || fail "a clean chain ended with status $status, not 0"
grep -q '"type": *"end"' "$work/lab/run.jsonl" || fail "the stream has no end record"

echo "== the relay through the raw port"
run_chain raw "relay raw"
tail -1 "$out/raw.err"
[ "$(tail -1 "$out/raw.err")" = "clean: nothing lost, changed or extra" ] &&
    [ "$status" -eq 0 ] ||
    fail "the raw port: status $status, last line $(tail -1 "$out/raw.err")"

echo "== the faulty far device, through RFC 2217"
kill -INT -- "-$far_device"
wait "$far_device" 2>/dev/null || true
start "faulty far device" faulty-device
wait_for grep -qs "serving on" "$out/faulty-device.err" || fail "the faulty far device did not start"
run_chain faulty relay
grep "^verdict" "$out/faulty.err"
tail -1 "$out/faulty.err"
[ "$status" -eq 3 ] || fail "a faulty chain with --expect-clean ended with $status, not 3"
tail -1 "$out/faulty.err" | grep -q "^not clean: .* (exit status 3)$" ||
    fail "the last line does not say not clean with exit status 3"
# the README's sample, made from this chain, gives its verdicts' words and its last line's form
sample=$(block output)
shown=$(grep -o "^verdict: [a-z ]*" <<<"$sample" | head -1) || true
[ -n "$shown" ] || fail "the README's sample shows no verdict"
grep -q "^$shown" "$out/faulty.err" || fail "the README shows '$shown', the relay said otherwise"
grep -q "^not clean: .* (exit status 3)$" <<<"$sample" ||
    fail "the README's sample does not end as a faulty chain's summary does"
! grep -q "^exit status" <<<"$sample" || fail "the README's sample shows a line the relay never prints"

echo "== farend(1) from the build tree"
MANPAGER=cat MANWIDTH=80 bash -c "$(block man)" >"$out/man.out" 2>&1 || fail "the man line failed"
grep -q "^FAREND(1)" "$out/man.out" && grep -q -- "--relay" "$out/man.out" ||
    fail "the man line did not show farend(1): $(head -3 "$out/man.out")"

echo "== the picture of the run"
bash -c "$(block plot)" || fail "the plot block failed with status $?"
cp "$work/lab/run.jsonl" "$work/lab/run.svg" "$out/"
rsvg-convert -o "$out/run.png" "$work/lab/run.svg" || fail "rsvg-convert could not render the SVG"
grep -q ">wrong-format<" "$work/lab/run.svg" || fail "the picture does not show the verdict"
[ -s "$out/run.png" ] || fail "rsvg-convert rendered nothing"
echo "PASS"
