#!/usr/bin/env bash
# Runs a command in a mount namespace of its own whose /dev is private: the machine's entries
# as links, and no COM* among them, so that the command finds none of the machine's COM ports
# and may make /dev/COM3 without touching the machine's. Needs root; the command runs with
# PRIVATE_DEV=1 in its environment. The machine's /dev is left as it was.
#   usage: scripts/private-dev.sh COMMAND [ARG]...
set -euo pipefail
if [ -z "${_PRIVATE_DEV_REAL:-}" ]; then
    real=$(mktemp -d)
    status=0
    _PRIVATE_DEV_REAL=$real unshare --mount --propagation private "$0" "$@" || status=$?
    rmdir "$real"   # the machine's /dev was bound there inside the namespace only
    exit "$status"
fi
mount --rbind /dev "$_PRIVATE_DEV_REAL"
mount -t tmpfs -o mode=755 tmpfs /dev
for e in "$_PRIVATE_DEV_REAL"/*; do
    case ${e##*/} in COM*) ;; *) ln -s "$e" "/dev/${e##*/}" ;; esac
done
unset _PRIVATE_DEV_REAL
export PRIVATE_DEV=1
exec "$@"
