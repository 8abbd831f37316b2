#!/usr/bin/env bash
# Fails when a source file of a checked folder is over 400 lines, or a function in it over 80.
# The code's style puts a function's braces at column 0, and a member function's defined in its
# class at column 4: a function is its signature's last line and everything from its "{" to its
# "}". Prints the longest file and function of each folder.
#   usage: scripts/sizes.sh [SOURCE-DIR]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

folders=(farend)   # the folders held to these sizes; logview/ and others are not yet
max_file=400
max_function=80

# "LINES FILE" for each file, then "LINES FILE: SIGNATURE" for each function.
files_of() {
    wc -l "$@" | grep -v ' total$' | awk '{ print $1, $2 }'
}
functions_of() {
    awk 'FNR == 1 { start = inClass = 0 }
         /^\{/ { start = FNR; signature = previous }
         /^\}/ && start { print FNR - start + 2, FILENAME ": " signature; start = 0 }
         /^    \{$/ { inClass = FNR; member = previous }
         /^    \}$/ && inClass { print FNR - inClass + 2, FILENAME ": " member; inClass = 0 }
         { previous = $0 }' "$@"
}

status=0
for folder in "${folders[@]}"; do
    mapfile -t sources < <(find "$folder" \( -name '*.h' -o -name '*.cpp' \) | sort)
    file=$(files_of "${sources[@]}" | sort -n | tail -1)
    function=$(functions_of "${sources[@]}" | sort -n | tail -1)
    echo "$folder/: longest file ${file##* } (${file%% *} lines), longest function" \
         "${function#* } (${function%% *} lines)"
    while read -r lines where; do
        [ "$lines" -le "$max_file" ] && continue
        echo "sizes.sh: $where has $lines lines, over $max_file" >&2
        status=1
    done < <(files_of "${sources[@]}")
    while read -r lines where; do
        [ "$lines" -le "$max_function" ] && continue
        echo "sizes.sh: $where is $lines lines long, over $max_function" >&2
        status=1
    done < <(functions_of "${sources[@]}")
done
exit $status
