#!/usr/bin/env bash
# Installs what the tester needs on Debian 12 (only what is missing), then configures and builds
# it in build/. With --packaging, also what builds and checks the Debian packages; with --guest,
# also what boots the guest of tests/guest/real-drivers.sh; with --programs, builds only looptest
# and farend, with one line of progress and the whole log in build/build.log.
set -euo pipefail
cd "$(dirname "$0")/.."
option=${1:-}
case $option in
    "" | --packaging | --guest | --programs) ;;
    *) echo "usage: scripts/setup.sh [--packaging | --guest | --programs]" >&2; exit 2 ;;
esac

packages=(
    g++ cmake make pkg-config          # toolchain
    qt6-base-dev libgl-dev             # Qt 6 Widgets and Test
    umockdev libumockdev-dev           # the mocked COM3 of farend and the tests
    fonts-ipafont-gothic               # Japanese face with the metrics of MS PGothic
    xvfb openbox xdotool x11-utils     # a private display, a window manager, input and probes
    imagemagick                        # screenshots
    socat                              # a COM3 redirected over TCP
    ser2net                            # a real device server for the relay's tests
    iproute2 tcpdump                   # TCP_INFO of a chain's sockets (ss), and its segments
    dbus at-spi2-core python3-pyatspi  # the accessibility stack a screen reader reads through
    orca                               # the screen reader itself (speech to its debug log)
    nlohmann-json3-dev                 # farend's JSON report and stream (header-only)
    libmicrohttpd-dev                  # the relay's metrics endpoint (HTTP server)
    prometheus                         # a real Prometheus scraping the relay in the tests
    librsvg2-bin fonts-dejavu-core     # rsvg-convert renders the relay's plot; a sans-serif face
    python3                            # the scripted RFC 2217 server of the tests
    man-db                             # the manual pages read from the build tree
)
if [ "$option" = --packaging ]; then
    packages+=(
        dpkg-dev file                  # cpack's package dependencies (dpkg-shlibdeps)
        lintian desktop-file-utils appstream procps   # checks of what the packages install
    )
fi
if [ "$option" = --guest ]; then
    packages+=(
        qemu-system-x86 busybox-static # a guest with real serial drivers (the kernel is fetched)
        setserial                      # low_latency on the guest's USB adapter
    )
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if [ "$option" != --programs ]; then
    cmake --build build -j"$(nproc)"
    exit
fi

# make's "[ 42%]" as one line rewritten in place on a terminal
progress() {
    local line shown=""
    while IFS= read -r line; do
        if [[ -t 1 && $line =~ ^\[\ *([0-9]+)%\] ]]; then
            printf '\rbuilding: %3s%%' "${BASH_REMATCH[1]}"
            shown=1
        fi
    done
    [ -z "$shown" ] || echo
}
log=build/build.log
set +e
cmake --build build -j"$(nproc)" --target programs 2>&1 | tee "$log" | progress
status=${PIPESTATUS[0]}
set -e
if [ "$status" -ne 0 ]; then
    grep -E -A3 "error|Error " "$log" | head -30 >&2
    echo "The build failed (status $status); the whole log: $log" >&2
    exit "$status"
fi
