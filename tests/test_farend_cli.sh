#!/usr/bin/env bash
# farend's command line as a user meets it: --help a screen a mode (the far end's, the relay's
# under 60 lines, the picture's) in 80 columns, --version saying the project's version, and the
# bash completion (packaging/completion/farend) offering every option the screens name and what
# follows the options that take a file, a group or a command.
# FAREND is the program (default build/farend), VERSION the project's (default: not checked).
set -euo pipefail
cd "$(dirname "$0")/.."
farend=${FAREND:-$PWD/build/farend}
status=0

screens=("--help" "--relay --help" "--plot --help")
for screen in "${screens[@]}"; do
    wide=$("$farend" $screen | awk 'length >= 80 { print "  " length ": " $0 }')
    [ -z "$wide" ] || { echo "FAIL: farend $screen has lines of 80 columns or more:"; echo "$wide"; status=1; }
done
lines=$("$farend" --relay --help | wc -l)
[ "$lines" -lt 60 ] || { echo "FAIL: farend --relay --help is $lines lines, not under 60"; status=1; }
version=$("$farend" --version)
if [ -n "${VERSION:-}" ] && [ "$version" != "farend (looptest) $VERSION" ]; then
    echo "FAIL: farend --version says '$version', the project is at $VERSION"
    status=1
fi

source packaging/completion/farend
# offers WORD... => EXPECTED...: what completing the last word offers holds every EXPECTED
offers() {
    local words=() expected
    while [ "$1" != "=>" ]; do words+=("$1"); shift; done
    shift
    COMP_WORDS=("$farend" "${words[@]}")
    COMP_CWORD=${#words[@]}
    set +e   # as bash runs a completion: compopt, for one, fails outside of one
    _farend
    set -e
    for expected in "$@"; do
        if ! printf '%s\n' "${COMPREPLY[@]}" | grep -qxF -- "$expected"; then
            echo "FAIL: farend ${words[*]}<TAB> does not offer $expected (offers: ${COMPREPLY[*]})"
            status=1
        fi
    done
}
# every long option of the screens, found as a reader finds them, is offered after "--"
mapfile -t options < <(for screen in "${screens[@]}"; do "$farend" $screen; done |
    grep -oE -- "--[a-z][a-z-]*" | sort -u)
[ "${#options[@]}" -gt 20 ] || { echo "FAIL: farend --help names ${#options[@]} options"; exit 1; }
offers - "=>" -- "${options[@]}" -h -V -i -c -t -l -o
offers --rel "=>" --relay
offers --relay rfc "=>" rfc2217://
offers --plot tests/test_farend_c "=>" tests/test_farend_cli.sh
offers --report-stream tests/test_farend_c "=>" tests/test_farend_cli.sh
offers --relay 127.0.0.1:2217 --group dialou "=>" dialout
offers --owner roo "=>" root
offers -- ech "=>" echo
offers -- sh tests/test_farend_c "=>" tests/test_farend_cli.sh
[ "$status" -eq 0 ] && echo "farend: its help screens in 80 columns, the relay's in $lines lines, $version, completion of all ${#options[@]} options"
exit "$status"
