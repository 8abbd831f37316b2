#!/usr/bin/env bash
# Builds the Debian packages looptest and looptest-farend in a clean build directory (default
# build-deb/) as a Debian build would: flags from dpkg-buildflags with all hardening, installed
# under /usr, tests and benches off.
#   usage: packaging/build-debs.sh [BUILD-DIR]
#   (needs dpkg-dev and file: `scripts/setup.sh --packaging` installs them)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-deb}
if [ -e "$dir/CMakeLists.txt" ]; then
    echo "$dir is a source directory, not a build directory" >&2
    exit 2
fi
rm -rf "$dir"

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
export CXXFLAGS LDFLAGS
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF
cmake --build "$dir" -j"$(nproc)"
(cd "$dir" && cpack -G DEB)
