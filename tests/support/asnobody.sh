# Sourced first by a test that runs the tester as an ordinary user (nobody) on a COM3 it makes:
# skips (status 77) without root, runs the test again in a private /dev (scripts/private-dev.sh),
# and gives $build (LOOPTEST_BUILD, default build/), $work (a directory the test removes),
# $work/bin with the programs where nobody may run them whatever the build tree's permissions,
# $work/runtime as nobody's runtime directory, and wait_for COMMAND (up to 20 s).
#   usage, from the checkout's top: self=PATH-OF-THE-TEST; source tests/support/asnobody.sh "$@"
export LOOPTEST_BUILD=${LOOPTEST_BUILD:-$PWD/build}
build=$LOOPTEST_BUILD
if [ "$(id -u)" -ne 0 ]; then
    echo "$(basename "$self"): needs root (a private /dev, another user): skipped"
    exit 77
fi
[ -n "${PRIVATE_DEV:-}" ] || exec scripts/private-dev.sh "$self" "$@"
work=$(mktemp -d)
chmod 755 "$work"
mkdir "$work/bin"
cp "$build/looptest" "$build/farend" "$work/bin/"
mkdir -m 700 "$work/runtime"
chown 65534 "$work/runtime"
wait_for() { for _ in $(seq 200); do "$@" && return 0; sleep 0.1; done; return 1; }
