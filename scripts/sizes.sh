#!/usr/bin/env bash
# Fails when a source file is over 400 lines, or a C++ function in one over 80, anywhere in the
# tree but tests/ (a test file is as long as its cases) and build trees. Sources are C++, shell
# and Python; the benches are held to it too, as code someone reads. The code's style puts a
# function's braces at column 0, and a member function's defined in its class at column 4: a
# function is its signature's last line and everything from its "{" to its "}". Prints the
# longest file and function of each folder.
#   usage: scripts/sizes.sh [SOURCE-DIR]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

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
# The sources of a folder ("." for the files at the top): C++, then shell and Python scripts,
# named so or executable.
sources_of() {   # folder find-options...
    local folder=$1
    shift
    find "$folder" "$@" -type f \( -name '*.h' -o -name '*.cpp' \) | sort
    find "$folder" "$@" -type f ! -name '*.h' ! -name '*.cpp' \
        \( -name '*.sh' -o -name '*.py' -o -perm -u+x \) | sort
}

status=0
check() {   # folder find-options...
    local folder=$1 file function
    mapfile -t sources < <(sources_of "$@")
    ((${#sources[@]})) || return 0
    mapfile -t cpp < <(printf '%s\n' "${sources[@]}" | grep -E '\.(h|cpp)$' || true)
    file=$(files_of "${sources[@]}" | sort -n | tail -1)
    local summary="$folder/: longest file ${file##* } (${file%% *} lines)"
    if ((${#cpp[@]})); then
        function=$(functions_of "${cpp[@]}" | sort -n | tail -1)
        summary+=", longest function ${function#* } (${function%% *} lines)"
    fi
    echo "$summary"
    while read -r lines where; do
        [ "$lines" -le "$max_file" ] && continue
        echo "sizes.sh: $where has $lines lines, over $max_file" >&2
        status=1
    done < <(files_of "${sources[@]}")
    ((${#cpp[@]})) || return 0
    while read -r lines where; do
        [ "$lines" -le "$max_function" ] && continue
        echo "sizes.sh: $where is $lines lines long, over $max_function" >&2
        status=1
    done < <(functions_of "${cpp[@]}")
}

check . -maxdepth 1
while read -r folder; do
    check "$folder"
done < <(find . -mindepth 1 -maxdepth 1 -type d ! -name tests ! -name 'build*' ! -name .git |
         sed 's|^\./||' | sort)
exit $status
