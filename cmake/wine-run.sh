#!/usr/bin/env bash
# Runs a Windows program under Wine for CTest. WINEPREFIX comes from the
# caller (scripts/test-windows.sh makes a fresh one); without it a prefix in
# the build tree is used.
set -euo pipefail
export WINEDEBUG=${WINEDEBUG:--all}
export WINEPREFIX=${WINEPREFIX:-$(cd "$(dirname "$0")" && pwd)/../build/wineprefix}
wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
exec "$wine" "$@"
