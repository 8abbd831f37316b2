#!/usr/bin/env bash
# What a screen reader gets, on the real accessibility stack: a private session bus and AT-SPI
# bus, a private X display and the tester with accessibility on against farend's mocked COM3,
# all in a PID namespace of their own that ends with the test. Two clients:
#   tests/test_access.sh         pyatspi (tests/test_access.py) reads everything a screen reader
#                                reads, the far end at the wrong baud rate (hex boxes only);
#   tests/test_access.sh orca    Orca itself, speech written to its debug log, driven by keys
#                                (tests/test_orca.py), the far end flipping a bit of every reply
#                                (hex boxes and line breaks); then, Orca still running, a second
#                                tester against a far end at the wrong baud rate, whose rows
#                                start with hex boxes (tests/test_orca.py WINDOW boxes).
# LOOPTEST_BUILD is the build tree (default build/); KEEP_ORCA_LOG a file Orca's debug log is
# copied to at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
export LOOPTEST_BUILD=${LOOPTEST_BUILD:-$PWD/build}
export PYTHONDONTWRITEBYTECODE=1   # the source tree stays as it is
if [ -z "${_ACCESS_IN_SESSION:-}" ]; then
    export _ACCESS_IN_SESSION=1
    unset DISPLAY WAYLAND_DISPLAY AT_SPI_BUS_ADDRESS
    # Orca refuses to start beside another Orca of the same user: a PID namespace of its own
    # (whose end ends every process the test started)
    private=(--pid --fork --mount-proc --kill-child)
    [ "$(id -u)" -eq 0 ] || private=(--user --map-root-user "${private[@]}")
    exec unshare "${private[@]}" dbus-run-session -- "$0" "$@"
fi
client=${1:-pyatspi}

source scripts/xsession.sh
work=$_xs_tmp
# The launcher puts the bus's socket in the runtime directory, without one in ~/.cache under a
# fixed name: a session started beside this one would take that name over, and this session's
# next clients would reach the other bus, or none once it ends. One of its own, as a login has.
export XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"
env -u DISPLAY /usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 &
# the AT-SPI bus is up once the launcher owns its name (asked without starting a second one
# through the session bus's activation) and the registry on the bus answers
launcher_owns() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.a11y.Bus 2>/dev/null | grep -q "boolean true"
}
registry_answers() {
    local address
    address=$(dbus-send --session --print-reply=literal --dest=org.a11y.Bus /org/a11y/bus \
        org.a11y.Bus.GetAddress 2>/dev/null) || return 1
    dbus-send --bus="${address// /}" --print-reply --dest=org.a11y.atspi.Registry \
        /org/a11y/atspi/accessible/root org.freedesktop.DBus.Peer.Ping >/dev/null 2>&1
}
_xs_until 60 launcher_owns && _xs_until 60 registry_answers ||
    { echo "the accessibility bus or its registry did not come up"; exit 1; }

if [ "$client" = orca ]; then
    # no speech server: Orca writes what it would say to its debug log; no braille, no key echo
    mkdir -p "$work/orca" "$work/home"
    cat >"$work/orca/user-settings.conf" <<'EOF'
{"general": {"speechServerFactory": "none", "speechFactoryModules": [], "enableBraille": false,
             "enableKeyEcho": false, "firstStart": false},
 "profiles": {"default": {"profile": ["Default", "default"]}}, "pronunciations": {},
 "keybindings": {}}
EOF
    # Orca's own hook for code of the user's: its debug log written a line at a time, and runs
    # of one character said as they stand (not "18 left paren characters"), to compare with the text
    cat >"$work/orca/orca-customizations.py" <<'EOF'
import orca.debug, orca.settings
orca.debug.debugFile and orca.debug.debugFile.reconfigure(line_buffering=True)
orca.settings.repeatCharacterLimit = 0
EOF
    export ORCA_LOG=$work/orca.log
    HOME=$work/home XDG_RUNTIME_DIR=$work/home GSETTINGS_BACKEND=memory \
        orca -u "$work/orca" --debug-file "$ORCA_LOG" >"$work/orca.out" 2>&1 &
    for _ in $(seq 600); do grep -qs "Startup complete" "$ORCA_LOG" && break; sleep 0.1; done
    grep -qs "Startup complete" "$ORCA_LOG" || { cat "$work/orca.out"; tail -3 "$ORCA_LOG"; echo "Orca did not start"; exit 1; }
fi

status=0
# One tester against farend with the given options (words), read by a client: test_access.py,
# or test_orca.py with its arguments after the window.
read_tester() {   # "farend options" program [arguments...]
    local options=$1 program=$2
    shift 2
    QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$LOOPTEST_BUILD/farend" $options >/dev/null 2>&1 &
    farend=$!
    window=$(tester_window)
    [ "$client" = orca ] || choose_period "$window" 10   # "10"
    local rc=0
    /usr/bin/python3 -u "$program" "$window" "$@" 2>"$work/client.err" | tee "$work/client.out" ||
        rc=${PIPESTATUS[0]}
    cat "$work/client.err" >&2
    # a client that ends before its count of failed checks (libatspi aborts one that cannot
    # reach the bus, a Python error) fails the test aloud
    if ! grep -qE "^[0-9]+ checks failed$" "$work/client.out"; then
        echo "FAIL  ${program##*/}${*:+ $*} ended with status $rc before its checks' count"
        ((rc)) || rc=1
    fi
    ((rc == 0)) || status=$rc
    # the window manager may refuse activation for a moment on a busy machine: try again, and at
    # last break the tester's X connection, which also ends it
    for _ in 1 2 3; do close_window "$window" 2>/dev/null && break; sleep 1; done
    for _ in $(seq 50); do kill -0 "$farend" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$farend" 2>/dev/null && xdotool windowkill "$window" 2>/dev/null
    wait "$farend" || true
}

if [ "$client" = orca ]; then
    read_tester "--corrupt 100" tests/test_orca.py
    read_tester "--wrong-baud 19200" tests/test_orca.py boxes
else
    read_tester "--wrong-baud 19200" tests/test_access.py
fi
[ "$client" != orca ] || [ -z "${KEEP_ORCA_LOG:-}" ] || cp "$ORCA_LOG" "$KEEP_ORCA_LOG"
exit "$status"
