#!/usr/bin/env bash
# Builds the Debian packages in a clean build directory with the tests off, checks them with
# lintian, installs them with apt, checks what is installed, then purges them and checks that
# nothing is left. Installs and removes looptest and looptest-farend on this machine: root, or
# sudo. .ci/run runs it after the tests; it runs as well by hand on Debian 12.
#   usage: packaging/check-install.sh   (build-deb/ is the build directory)
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
packages=(looptest looptest-farend)
tmp=$(mktemp -d)
installed=no
# a check that fails after the install leaves the machine as it found it
cleanup() {
    [ "$installed" = yes ] && DEBIAN_FRONTEND=noninteractive $sudo apt-get purge -y -qq \
        "${packages[@]}" >/dev/null 2>&1
    rm -rf "$tmp"
}
trap cleanup EXIT

step() { printf '\n== %s\n' "$*"; }
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

for p in "${packages[@]}"; do
    if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -qv "not-installed"; then
        fail "$p is already on this machine: purge it first (apt-get purge $p)"
    fi
done

scripts/setup.sh --packaging >/dev/null

step "Build: a clean build-deb/ with -DBUILD_TESTING=OFF, and the packages"
packaging/build-debs.sh build-deb >"$tmp/build.log" 2>&1 || {
    cat "$tmp/build.log"
    fail "the packages did not build"
}
grep -E "^CPack: - package:" "$tmp/build.log"
debs=(build-deb/looptest_*.deb build-deb/looptest-farend_*.deb)

step "What the programs link (build-deb/looptest must link neither Qt Test nor umockdev)"
for program in looptest farend; do
    echo "$program:"
    readelf -d "build-deb/$program" | grep NEEDED
done
echo "ldd build-deb/looptest:"
ldd build-deb/looptest
if ldd build-deb/looptest | grep -Ei "Qt6Test|umockdev"; then
    fail "looptest links Qt Test or umockdev"
fi
if readelf -d build-deb/farend | grep NEEDED | grep -i "Qt6"; then
    fail "farend links Qt"
fi

step "The packages"
for deb in "${debs[@]}"; do
    dpkg-deb --field "$deb" Package Version Installed-Size Depends
    dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print "  " $6 }'
    echo
done

dpkg-deb --field build-deb/looptest-farend_*.deb Depends | grep -q libmicrohttpd ||
    fail "looptest-farend does not depend on libmicrohttpd, which serves the relay's metrics"

step "lintian (fails on any error or warning that is not overridden with a reason)"
lintian -I --show-overrides "${debs[@]}" 2>&1 | grep -v "running with root privileges" |
    tee "$tmp/lintian"
grep -q "^[EW]: " "$tmp/lintian" && fail "lintian reports errors or warnings"
echo "lintian: no errors, no warnings"

step "Install with apt"
find /usr /etc -xdev 2>/dev/null | sort >"$tmp/before"
apt_options=()
# Minimal images may keep manual pages out (dpkg path-exclude); ours are part of the check.
if grep -hs "^path-exclude" /etc/dpkg/dpkg.cfg /etc/dpkg/dpkg.cfg.d/* |
    grep -q "/usr/share/man"; then
    echo "dpkg excludes /usr/share/man on this machine: including the man1 pages for this install"
    apt_options+=(-o "DPkg::Options::=--path-include=/usr/share/man/man1/*")
fi
installed=yes
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${apt_options[@]}" \
    "${debs[@]/#/./}" >"$tmp/apt.log" 2>&1 || {
    cat "$tmp/apt.log"
    fail "apt-get install"
}
dpkg-query -W -f='${Package} ${Version}: installed size ${Installed-Size} KiB\n' "${packages[@]}"
dpkg -L "${packages[@]}" | sort -u >"$tmp/files"

step "Desktop entry and AppStream metainfo"
desktop=$(grep "^/usr/share/applications/.*\.desktop$" "$tmp/files")
metainfo=$(grep "^/usr/share/metainfo/.*\.metainfo\.xml$" "$tmp/files")
desktop-file-validate "$desktop" || fail "desktop-file-validate $desktop"
echo "desktop-file-validate $desktop: passed"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate --no-net $metainfo"

step "Manual pages"
for page in looptest farend; do
    MANWIDTH=80 man "$page" >"$tmp/$page.txt" || fail "man $page"
    echo "man $page: $(man -w "$page"), $(wc -l <"$tmp/$page.txt") lines"
done
head -n 12 "$tmp/looptest.txt"
for line in "Port could not open." "SetupComm failed." "PurgeComm failed." \
    "SetCommTimeouts failed." "GetCommState failed." "SetCommState failed." \
    "EscapeCommFunction failed." "WriteFile failed."; do
    grep -qF "$line" "$tmp/looptest.txt" || fail "man looptest does not give the line '$line'"
done
echo "man looptest gives every failure line"
for option in $({ farend --help; farend --relay --help; farend --plot --help; } |
    grep -oE -- "--[a-z][a-z-]*" | sort -u); do
    grep -qF -- "$option" "$tmp/farend.txt" || fail "man farend does not describe $option"
done
echo "man farend describes every option of farend's help screens"

step "The installed looptest without a COM3 (an empty /dev of its own: no device of the machine's)"
status=0
out=$(cd / && $sudo unshare --mount --propagation private sh -c \
    'mount -t tmpfs -o mode=755 none /dev && QT_QPA_PLATFORM=offscreen timeout 30 looptest') ||
    status=$?
printf 'output: %s\nstatus: %s\n' "$out" "$status"
[ "$out" = "Port could not open." ] && [ "$status" -eq 0 ] ||
    fail "expected 'Port could not open.' and status 0"

step "The installed farend"
farend --help >"$tmp/help" || fail "farend --help"
head -n 2 "$tmp/help"
farend --version
completion=/usr/share/bash-completion/completions/farend
offered=$(bash -c "source $completion; COMP_WORDS=(farend --rel); COMP_CWORD=1; _farend; \
    echo \${COMPREPLY[*]}")
[ "$offered" = "--relay" ] || fail "$completion completes --rel to '$offered', not --relay"
echo "$completion completes --rel to --relay"
# farend with no command runs the installed tester on its mocked COM3; a copy of farend away
# from the tester falls back to the installed path
cp "$(command -v farend)" "$tmp/farend"
for program in "$(command -v farend)" "$tmp/farend"; do
    QT_QPA_PLATFORM=offscreen "$program" >/dev/null 2>"$tmp/summary" &
    farend=$!
    tester="" exe=""
    for _ in $(seq 100); do
        tester=$(pgrep -P "$farend" | head -n 1 || true)
        [ -n "$tester" ] && exe=$(readlink "/proc/$tester/exe" 2>/dev/null || true)
        [ "$exe" = /usr/bin/looptest ] && break
        sleep 0.1
    done
    sleep 2   # a tester that could not open the mocked port would be gone by now
    exe=$(readlink "/proc/$tester/exe" 2>/dev/null || echo "(gone)")
    kill -TERM "$farend" 2>/dev/null || true
    wait "$farend" || true
    echo "$program ran $exe; $(grep "^farend: received" "$tmp/summary" || tail -n 1 "$tmp/summary")"
    [ "$exe" = /usr/bin/looptest ] || fail "$program did not keep /usr/bin/looptest running"
done

step "Purge"
DEBIAN_FRONTEND=noninteractive $sudo apt-get purge -y -qq "${packages[@]}" >"$tmp/apt.log" 2>&1 || {
    cat "$tmp/apt.log"
    fail "apt-get purge"
}
installed=no
while read -r path; do
    [ -d "$path" ] && ! [ -L "$path" ] && continue   # shared directories stay; new ones below
    [ -e "$path" ] || [ -L "$path" ] && fail "$path is left after the purge"
done <"$tmp/files"
find /usr /etc -xdev 2>/dev/null | sort >"$tmp/after"
# new paths owned by no package; caches that triggers keep up to date are the machine's own
comm -13 "$tmp/before" "$tmp/after" | grep -vE "/(icon-theme|mimeinfo)\.cache$" >"$tmp/new" || true
if [ -s "$tmp/new" ]; then
    tr '\n' '\0' <"$tmp/new" | xargs -0 dpkg-query -S 2>&1 >/dev/null |
        sed -n 's/^dpkg-query: no path found matching pattern //p' >"$tmp/left" || true
    [ -s "$tmp/left" ] && { cat "$tmp/left"; fail "the purge left these behind"; }
fi
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -qv "not-installed" &&
        fail "dpkg still knows $p"
done
echo "purged: every installed path is gone, nothing new under /usr or /etc"

printf '\nAll package checks passed.\n'
