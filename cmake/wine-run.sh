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
"$wine" "$@" </dev/null >"$out" 2>&1 &
program=$!
tail -n +1 -s 0.2 -f --pid="$program" "$out" &
follower=$!
status=0
wait "$program" || status=$?
wait "$follower" || true
exit "$status"
