#!/usr/bin/env bash
# Prints each folder's project includes ("app/ -> serial vcl") and fails when a folder includes
# one on its own layer or above it. Layers, top first; folders on one line know nothing of each
# other.
#   usage: scripts/layers.sh [SOURCE-DIR]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

layers=(
    "bench"
    "tests"
    "looptest farend"
    "app"
    "vcl"
    "logview timer serial"
    "testcycle"
)
declare -A rank
for i in "${!layers[@]}"; do
    for folder in ${layers[$i]}; do
        rank[$folder]=$i
    done
done

status=0
for folder in $(printf '%s\n' ${layers[@]}); do
    [ -d "$folder" ] || { echo "layers.sh: no folder $folder/" >&2; status=1; continue; }
    # "#include "DIR/..."" of every source, with the folder it names
    included=$(grep -rhoE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[a-z0-9_]+/' "$folder" \
                   --include='*.h' --include='*.cpp' |
               sed -E 's/.*"([a-z0-9_]+)\//\1/' | sort -u | grep -vx "$folder" || true)
    echo "$folder/ -> $(echo $included)"
    for used in $included; do
        if [ -z "${rank[$used]:-}" ]; then
            echo "layers.sh: $folder/ includes $used/, which is on no layer" >&2
            status=1
        elif [ "${rank[$used]}" -le "${rank[$folder]}" ]; then
            echo "layers.sh: $folder/ includes $used/, which is not below it:" \
                 "$(grep -rlE "#[[:space:]]*include[[:space:]]+\"$used/" "$folder" | tr '\n' ' ')" >&2
            status=1
        fi
    done
done
# every folder with sources is on a layer
for dir in */; do
    dir=${dir%/}
    [ -n "${rank[$dir]:-}" ] || [[ $dir == build* ]] && continue
    if find "$dir" -maxdepth 1 \( -name '*.cpp' -o -name '*.h' \) | grep -q .; then
        echo "layers.sh: $dir/ holds sources but is on no layer" >&2
        status=1
    fi
done
exit $status
