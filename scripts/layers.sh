#!/usr/bin/env bash
# Prints each folder's project includes ("vcl/ -> logview") and fails when a folder includes one
# on its own layer or above it. Layers, top first; folders on one line know nothing of each
# other. A folder cut into parts (farend/) has layers of its own: its parts are checked against
# each other the same way, its own top files ("farend/main.cpp") above all of them.
#   usage: scripts/layers.sh [SOURCE-DIR]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

layers=(
    "bench"
    "tests"
    "looptest farend"
    "vcl"
    "logview timer serial"
    "testcycle"
)
farend_layers=(
    "farend"
    "farend/cli"
    "farend/relay farend/server"
    "farend/diagnosis farend/device farend/rfc2217"
    "farend/report farend/plot"
    "farend/figures"
    "farend/io farend/files farend/kernel farend/http"
    "farend/line farend/text farend/error"
)
status=0

# "#include "UNIT/..."" of the sources in a unit's folder (not in its parts, with -maxdepth 1),
# as the units they name: the first DEPTH components of the path.
includes_of() {   # folder depth [find-options...]
    local folder=$1 depth=$2
    shift 2
    find "$folder" "$@" \( -name '*.h' -o -name '*.cpp' \) -print0 |
        xargs -0 -r grep -hoE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[a-z0-9_/]+/' |
        sed -E 's/.*"//; s/\/$//' | cut -d/ -f"1-$depth" | sort -u
}

# Checks one set of layers; DEPTH 1 for the tree's folders, 2 for a folder's parts.
check() {   # depth layer...
    local depth=$1
    shift
    local -A rank=()
    local i unit used included
    local units=()
    for ((i = 1; i <= $#; ++i)); do
        for unit in ${!i}; do
            rank[$unit]=$i
            units+=("$unit")
        done
    done
    for unit in "${units[@]}"; do
        [ -d "$unit" ] || { echo "layers.sh: no folder $unit/" >&2; status=1; continue; }
        if [ "$depth" -gt 1 ] && [ "${unit//[^\/]/}" = "" ]; then
            # the folder's own top files, above its parts
            included=$(includes_of "$unit" "$depth" -maxdepth 1 | grep -v "^$unit\$" | grep "^$unit/" || true)
        elif [ "$depth" -gt 1 ]; then
            included=$(includes_of "$unit" "$depth" | grep -vx "$unit" | grep -E "^${unit%%/*}(/|$)" || true)
        else
            included=$(includes_of "$unit" 1 | grep -vx "$unit" || true)
        fi
        echo "$unit/ -> $(echo $included)"
        for used in $included; do
            if [ -z "${rank[$used]:-}" ]; then
                echo "layers.sh: $unit/ includes $used/, which is on no layer" >&2
                status=1
            elif [ "${rank[$used]}" -le "${rank[$unit]}" ]; then
                # a folder's own top files are named as such, not by its parts' paths
                local named="$used/"
                [ "$depth" -gt 1 ] && [ "${used//[^\/]/}" = "" ] && named="$used/[^/\"]*\""
                echo "layers.sh: $unit/ includes $used/, which is not below it:" \
                     "$(grep -rlE "#[[:space:]]*include[[:space:]]+\"$named" "$unit" | tr '\n' ' ')" >&2
                status=1
            fi
        done
    done
    # every folder with sources is on a layer
    local parent dir
    for parent in $( [ "$depth" -gt 1 ] && echo "${units[0]}/*/" || echo "*/"); do
        dir=${parent%/}
        [ -n "${rank[$dir]:-}" ] || [[ $dir == build* ]] && continue
        if find "$dir" -maxdepth 1 \( -name '*.cpp' -o -name '*.h' \) | grep -q .; then
            echo "layers.sh: $dir/ holds sources but is on no layer" >&2
            status=1
        fi
    done
}

check 1 "${layers[@]}"
check 2 "${farend_layers[@]}"
exit $status
