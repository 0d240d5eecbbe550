#!/usr/bin/env bash
# Runs a Windows program under Wine for CTest. WINEPREFIX comes from the
# caller (scripts/test-windows.sh makes a fresh one); without it a prefix in
# the build tree is used.
set -euo pipefail
export WINEDEBUG=${WINEDEBUG:--all}
export WINEPREFIX=${WINEPREFIX:-$(cd "$(dirname "$0")" && pwd)/../build/wineprefix}
wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
# Wine's own services start with the first program of a session and keep
# that program's standard streams open until the session ends, and so does
# any process the program leaves behind: CTest, which waits for the end of
# its test's output, would then wait for them too. The program writes to a
# file instead, which is followed onto CTest's output until the program
# itself has ended.
"$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true
out=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
trap 'rm -f "$out"' EXIT
run() {
    : >"$out"
    "$wine" "$@" </dev/null >"$out" 2>&1 &
    local program=$!
    tail -n +1 -s 0.2 -f --pid="$program" "$out" &
    local follower=$!
    status=0
    wait "$program" || status=$?
    wait "$follower" || true
}
run "$@"
# Every program run here writes before anything else (a test program its
# banner). One that failed without a byte of output was never started by
# Wine (seen once, with other Wine sessions starting and ending beside it):
# it is started once more, and said so.
if [ "$status" != 0 ] && [ ! -s "$out" ]; then
    echo "wine-run: $1 ended with $status before writing anything: Wine did not start it; once more"
    run "$@"
fi
[ "$status" = 0 ] || echo "wine-run: $1 ended with status $status"
exit "$status"
