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
# that program's standard streams open until the session ends: CTest would
# then wait for the last Windows program before it saw this one end. Each
# run starts with a program whose streams go nowhere; when the session is
# already up this costs a fraction of a second.
"$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true
exec "$wine" "$@"
