#!/usr/bin/env bash
# What a screen reader gets, on the real accessibility stack: a private session bus and AT-SPI
# bus, a private X display, the tester with accessibility on against farend's mocked COM3 at the
# wrong baud rate (so the log fills with hex boxes), and tests/test_access.py reading it all
# through pyatspi as Orca does.
#   usage: tests/test_access.sh   (build/ must be built)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${_ACCESS_IN_SESSION:-}" ]; then
    export _ACCESS_IN_SESSION=1
    unset DISPLAY WAYLAND_DISPLAY AT_SPI_BUS_ADDRESS
    exec dbus-run-session -- "$0" "$@"
fi

/usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 &
launcher=$!
source scripts/xsession.sh
trap 'kill "$launcher" 2>/dev/null || true; _xs_cleanup' EXIT
# the AT-SPI bus is up once the launcher answers with its address
for _ in $(seq 100); do
    dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress \
        >/dev/null 2>&1 && break
    sleep 0.1
done

QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 build/farend --wrong-baud 19200 >/dev/null 2>&1 &
farend=$!
trap 'kill "$farend" "$launcher" 2>/dev/null || true; _xs_cleanup' EXIT
window=$(tester_window)
choose_period "$window" 10   # "10"
status=0
/usr/bin/python3 tests/test_access.py || status=$?
# the window manager may refuse activation for a moment on a busy machine: try again, and at
# last break the tester's X connection, which also ends it
for _ in 1 2 3; do close_window "$window" 2>/dev/null && break; sleep 1; done
for _ in $(seq 50); do kill -0 "$farend" 2>/dev/null || break; sleep 0.1; done
kill -0 "$farend" 2>/dev/null && xdotool windowkill "$window" 2>/dev/null
wait "$farend" || true
exit "$status"
