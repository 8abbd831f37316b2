#!/usr/bin/env bash
# The tick's cost and the whole program's at 1 ms, this tree beside an older revision (default
# 4a04ff5, the tree before the labels kept their layouts), built and measured in the same run:
#   1. the tick alone on a plain pty pair, every reply already waiting (tick_bench --pty):
#      median and p99 µs; then the real 1 ms timer for 10 s: main thread CPU per tick, of it the
#      handler, the rest the event loop and painting; callgrind's instructions per tick;
#   2. the whole program, window shown (Xvfb, openbox), on a /dev/COM3 that socat joins to
#      `farend --listen` over TCP, at 1 ms for SECONDS (default 60): against an instant echo and
#      against `--wrong-baud 19200` (garbage that changes Label2 every tick): tester and X server
#      CPU (% of one core), exchanges/s, frames/s put on the screen, wake-ups (voluntary context
#      switches, every thread) and system calls a tick; beside it, over the same seconds on a
#      chain of its own, the floor: the system calls of a tick alone (tick_floor: timerfd, RTS,
#      write, read, wait, read) with no window and no event loop, and the tester's CPU as a
#      ratio to it; where the floor's chain and the tester's are not in the same state (in step,
#      or one echo behind: no wait a tick) the window is measured again, up to three times, and
#      the row says which window it kept;
#   3. start-up: from starting the program to its first frame on the screen, old and new by
#      turns, median of 11.
# Needs root: it runs in a private mount namespace whose own /dev holds COM3, so the machine's
# /dev is never touched. The bench sources of this tree are built against the old revision too.
#   usage: bench/tick_compare.sh [SECONDS] [BASE-COMMIT]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
base=${2:-4a04ff5}

if [ -z "${PRIVATE_DEV:-}" ]; then
    [ "$(id -u)" -eq 0 ] || { echo "tick_compare.sh: needs root (a private /dev)" >&2; exit 1; }
    cmake --build build -j2 --target looptest farend tick_bench timer_bench flushcount layout_points tick_floor \
        >/dev/null
    work=build/compare
    rm -rf "$work/old/src" && mkdir -p "$work/old/src"   # its build stays: unchanged files keep their times
    # the archive's files carry the commit's time, which may be older than objects built from
    # another revision: the build is kept for the same revision only
    [ "$(cat "$work/old/revision" 2>/dev/null)" = "$(git rev-parse "$base")" ] || rm -rf "$work/old/build"
    git rev-parse "$base" >"$work/old/revision"
    git archive "$base" | tar -x -C "$work/old/src"
    cp -r bench/. "$work/old/src/bench/"   # the same bench, built against the old revision
    [ -d "$work/old/src/testcycle" ] || cp -r testcycle "$work/old/src/"   # the cycle it includes
    cmake -S "$work/old/src" -B "$work/old/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$work/old/build" -j2 --target looptest tick_bench timer_bench flushcount >/dev/null
    # a /dev of its own, with room for COM3
    exec scripts/private-dev.sh "$0" "$seconds" "$base"
fi

old=build/compare/old/build
new=build
echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC'), load average $(cut -d' ' -f1-3 /proc/loadavg)" \
     "on $(nproc) cores; old = $base, new = $(git rev-parse --short HEAD)$(git diff --quiet || echo +changes)"
echo

echo "### The tick alone, plain pty pair, reply already waiting"
echo
for rev in old new; do
    dir=${!rev}
    echo "$rev:"
    QT_QPA_PLATFORM=offscreen "$dir/tick_bench" --pty --timed 10 2>/dev/null | grep -v "^ticks "
    if command -v valgrind >/dev/null; then
        QT_QPA_PLATFORM=offscreen valgrind --tool=callgrind --callgrind-out-file="build/compare/cg.$rev" \
            --toggle-collect='TForm1::MsTimer1Timer(QObject*)' "$dir/tick_bench" --pty --timed 0 \
            >/dev/null 2>&1 || true
        calls=3200   # the warm-up and the timed row
        ir=$(awk '/^summary:|^totals:/ {print $2; exit}' "build/compare/cg.$rev")
        echo "callgrind: $(awk -v ir="$ir" -v n=$calls 'BEGIN { printf "%.0f", ir / n }') instructions a tick (handler, $calls ticks)"
    fi
    echo
done

source scripts/xsession.sh
tmp=$_xs_tmp
hz=$(getconf CLK_TCK)
wait_for() { for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done; return 1; }
received() {
    local before
    before=$(grep -c "received" "$tmp/COM3.err" || true)
    kill -USR1 "$farend_COM3"
    for _ in $(seq 100); do
        [ "$(grep -c "received" "$tmp/COM3.err" || true)" -gt "$before" ] && break
        sleep 0.01
    done
    grep "received" "$tmp/COM3.err" | tail -1 | sed -n 's/.*received \([0-9]*\) bytes.*/\1/p'
}
flushes() { od -An -t u8 "$tmp/flushes" 2>/dev/null | tr -d ' ' || echo 0; }
# the times a process's threads gave up the processor to wait: its wake-ups
wakeups() { cat /proc/"$1"/task/*/status | awk '/^voluntary_ctxt_switches/ { n += $2 } END { print n }'; }

# chain_up DEV FAREND-OPTIONS...: /dev/DEV, a socat pty over TCP to a `farend --listen` of its
# own, which writes to $tmp/DEV.err; chain_down DEV
chain_up() {
    local dev=$1 port
    shift
    build/farend --listen 127.0.0.1:0 "$@" 2>"$tmp/$dev.err" &
    printf -v "farend_$dev" %s $!
    wait_for grep -q "listening on" "$tmp/$dev.err"
    port=$(sed -n 's/^farend: listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$tmp/$dev.err")
    socat "pty,link=/dev/$dev,rawer" "tcp:127.0.0.1:$port" 2>/dev/null &
    printf -v "socat_$dev" %s $!
    wait_for test -L "/dev/$dev"
}
chain_down() {
    local farend="farend_$1" socat="socat_$1"
    kill "${!socat}" 2>/dev/null || true
    wait "${!socat}" 2>/dev/null || true
    kill -INT "${!farend}"
    wait "${!farend}" || true
}

# system calls a tick of PID over 5 s, all its threads (perf's count of system call entries),
# over the ticks counted by the tester's own RTS call (one ioctl a tick, the only one it makes).
# Divided by the far end's count of bytes received instead, the garbage chain read 11 to 42
# where its calls counted by kind come to 5.4 a tick. "-" without perf
calls_a_tick() {
    command -v perf >/dev/null || { echo -; return; }
    perf stat -x, -e raw_syscalls:sys_enter,syscalls:sys_enter_ioctl -p "$1" -- sleep 5 2>&1 \
        >/dev/null | awk -F, '$3 == "raw_syscalls:sys_enter" { n = $1 } $3 == "syscalls:sys_enter_ioctl" { t = $1 }
            END { if (n ~ /^[0-9]+$/ && t > 0) printf "%.1f", n / t; else print "-" }'
}

# whole REV LABEL FAREND-OPTIONS...: the tester on /dev/COM3 and, over the same seconds, the
# floor on a chain of its own (/dev/COM4) with the same far end
whole() {
    local rev=$1 label=$2
    shift 2
    local dir=${!rev}
    chain_up COM3 "$@"
    chain_up COM4 "$@"
    rm -f "$tmp/flushes"
    LD_PRELOAD="$PWD/$dir/bench/libflushcount.so" FLUSHCOUNT_FILE="$tmp/flushes" \
        "$dir/looptest" >/dev/null 2>&1 &
    local tester=$!
    window=$(tester_window)
    choose_period "$window" end
    click_start_stop "$window"
    sleep 5   # past the start
    # The floor waits for an echo only where its chain is in step. After a late echo a chain
    # may stay one behind, every read finding the last tick's echo already there: no wait, a
    # wake-up a tick instead of two. Where the floor's chain and the tester's are not in the
    # same state, the floor is not making the tester's system calls: the window is measured
    # again, up to three times, and the closest kept.
    local try best="" b0 c0 x0 f0 w0 t0 b1 c1 x1 f1 w1 t1 calls
    for try in 1 2 3; do
        build/tick_floor /dev/COM4 1 "$seconds" >"$tmp/floor" &
        local floor=$!
        b0=$(received) c0=$(cpu_ticks "$tester") x0=$(cpu_ticks "$_xs_server") f0=$(flushes)
        w0=$(wakeups "$tester") t0=$(date +%s.%N)
        sleep "$seconds"
        b1=$(received) c1=$(cpu_ticks "$tester") x1=$(cpu_ticks "$_xs_server") f1=$(flushes)
        w1=$(wakeups "$tester") t1=$(date +%s.%N)
        wait "$floor"
        local apart
        apart=$(awk -v w=$((w1 - w0)) -v n=$((b1 - b0)) -v floor="$(cat "$tmp/floor")" \
            'BEGIN { match(floor, /[0-9.]+ wake-ups/); d = w / (n > 0 ? n : 1) - substr(floor, RSTART, RLENGTH - 9)
                     printf "%.2f", d < 0 ? -d : d }')
        if [ -z "$best" ] || awk -v a="$apart" -v b="${best%% *}" 'BEGIN { exit !(a < b) }'; then
            best="$apart $try $((b1 - b0)) $((c1 - c0)) $((x1 - x0)) $((f1 - f0)) $((w1 - w0)) $t0 $t1"
            cp "$tmp/floor" "$tmp/floor.best"
        fi
        awk -v a="$apart" 'BEGIN { exit !(a <= 0.25) }' && break
    done
    read -r _ try b1 c1 x1 f1 w1 t0 t1 <<<"$best"
    b0=0 c0=0 x0=0 f0=0 w0=0
    cp "$tmp/floor.best" "$tmp/floor"
    calls=$(calls_a_tick "$tester")
    click_start_stop "$window"
    sleep 0.3
    close_window "$window"
    wait "$tester" || true
    chain_down COM4
    chain_down COM3
    awk -v rev="$rev" -v label="$label" -v n=$((b1 - b0)) -v c=$((c1 - c0)) -v x=$((x1 - x0)) \
        -v f=$((f1 - f0)) -v w=$((w1 - w0)) -v t0="$t0" -v t1="$t1" -v hz="$hz" \
        -v calls="$calls" -v floor="$(cat "$tmp/floor")" -v try="$try" \
        'BEGIN { s = t1 - t0; cpu = 100 * c / hz / s;
                 match(floor, /CPU [0-9.]+%/); fcpu = substr(floor, RSTART + 4, RLENGTH - 5);
                 match(floor, /[0-9.]+ wake-ups/); fwake = substr(floor, RSTART, RLENGTH - 9);
                 split(floor, fw, " "); fx = fw[7] > 0 ? fw[4] / fw[7] : 0;   # "N ticks, M echoes in S s"
                 printf "| %-3s | %-22s | %4.0f | %5.1f%% | %4.1f%% | %5.2f | %5.1f%% | %7.1f / %6.1f | %6.2f%% | %5.1f | %4.2f / %s | %s | %s |\n",
                        rev, label, s, cpu, fcpu, (fcpu > 0 ? cpu / fcpu : 0), 100 * x / hz / s,
                        n / s, fx, n / s / 10, f / s, w / n, fwake, calls, try }'
}

# profile REV: where the tester's time goes at 1 ms against the instant echo, from perf's call
# graphs over 6 s of the running program: the share of its CPU spent in (under) each part of
# the loop, then the functions that spend the most themselves
profile() {
    command -v perf >/dev/null || { echo "(no perf)"; return; }
    local dir=${!1} tester
    chain_up COM3
    "$dir/looptest" >/dev/null 2>&1 &
    tester=$!
    window=$(tester_window)
    choose_period "$window" end
    click_start_stop "$window"
    sleep 5
    perf record -q -F 997 --call-graph dwarf,32768 -p "$tester" -o "$tmp/perf.data" -- sleep 6 \
        >/dev/null 2>&1
    click_start_stop "$window"
    sleep 0.3
    close_window "$window"
    wait "$tester" || true
    chain_down COM3
    echo "| part of the loop | share of the tester's CPU |"
    echo "|---|---|"
    perf report -i "$tmp/perf.data" --children --sort sym --stdio -g none 2>/dev/null | awk '
        BEGIN { n = split("TForm::drawFrame|the frame, all of it;" \
                          "QWidgetRepaintManager::paintAndFlush|of it painting and flushing;" \
                          "logview::LogView::paintEvent|of that the log;" \
                          "logview::RowLayouts::layoutFor|of that shaping the row that changed;" \
                          "TLabel::paintEvent|of that the labels;" \
                          "QBackingStore::flush|of that putting the frame on the X server;" \
                          "TForm1::MsTimer1Timer|the tick handler;" \
                          "WriteByte|of it the write;ReadByte|of it the read;AssertRts|of it RTS;" \
                          "TLabel::SetCaption|of it the captions;" \
                          "TRichEdit::SetSelText|of it the log append;" \
                          "TMsTimer::takeExpirations|the timer read;" \
                          "__ppoll|the event loop wait (ppoll)", part, ";") }
        $3 == "[.]" || $3 == "[k]" { sym = $4; for (i = 5; i <= NF; ++i) sym = sym " " $i
                                    sub(/ \(inlined\)$/, "", sym)
                                    if (!(sym in share)) share[sym] = $1 }
        END { for (i = 1; i <= n; ++i) { split(part[i], f, "|")
                  printf "| %s (`%s`) | %s |\n", f[2], f[1], (f[1] in share) ? share[f[1]] : "-" } }'
    echo
    echo "| function (self) | share |"
    echo "|---|---|"
    perf report -i "$tmp/perf.data" --no-children --sort dso,sym --stdio -g none 2>/dev/null |
        awk '/^ +[0-9.]+%/ && n++ < 12 { pct = $1; $1 = ""; sub(/^ +/, ""); printf "| %s | %s |\n", $0, pct }'
}

# first_frame REV: ms from starting the tester to its first frame on the screen
first_frame() {
    local dir=${!1} t0 tester
    rm -f "$tmp/first"
    t0=$(date +%s.%N)
    LD_PRELOAD="$PWD/$dir/bench/libflushcount.so" FLUSHCOUNT_FIRST="$tmp/first" \
        "$dir/looptest" >/dev/null 2>&1 &
    tester=$!
    wait_for test -s "$tmp/first"
    awk -v t0="$t0" '{ printf "%.1f", 1000 * ($1 - t0) }' "$tmp/first"
    close_window "$(tester_window)"
    wait "$tester" || true
}
# startup: old and new started by turns, so that both see the same machine; median, min, max
startup() {
    local runs=11 old_ms=() new_ms=()
    chain_up COM3
    for _ in $(seq "$runs"); do
        old_ms+=("$(first_frame old)")
        new_ms+=("$(first_frame new)")
    done
    chain_down COM3
    for rev in old new; do
        local -n ms="${rev}_ms"
        printf '%s\n' "${ms[@]}" | sort -n | awk -v rev="$rev" -v n="$runs" '{ t[NR] = $1 }
            END { printf "| %-3s | %.1f | %.1f | %.1f |\n", rev, t[(n + 1) / 2], t[1], t[n] }'
    done
}

echo "### The timer at 1 ms, window shown (timer_bench, 10 s)"
echo
echo "| rev | timer | period ms | s | ticks | nominal | achieved | p50 ms | p90 ms | p99 ms | max ms |"
echo "|---|---|---|---|---|---|---|---|---|---|---|"
for rev in old new; do
    "${!rev}/timer_bench" 10 2>/dev/null | awk -v rev="$rev" '/^\| TMsTimer *\| *1 \|/ { print "| " rev " " $0 }'
done
echo

echo "### The whole program at 1 ms, window shown, COM3 a socat pty over TCP to farend"
echo
echo "| rev | far end | s | tester CPU | floor CPU | tester / floor | X server CPU | exchanges/s (tester / floor) |" \
     "of nominal | frames/s | wake-ups a tick (tester / floor) | system calls a tick | window kept |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|"
for rev in old new; do whole "$rev" "instant echo"; done
for rev in old new; do whole "$rev" "wrong baud rate (19200)" --wrong-baud 19200; done
echo
echo "### Where the new tester's time goes at 1 ms, instant echo (perf, 6 s)"
echo
profile new
echo
echo "### Start-up: starting the tester to its first frame, window manager running (ms, 11 runs each, by turns)"
echo
echo "| rev | median | min | max |"
echo "|---|---|---|---|"
startup

echo
echo "### What the operator sees: old and new shot under the same window manager"
echo
bench/screens_compare.sh "$old/looptest" "$new/looptest" build/compare/screens
