#!/usr/bin/env bash
# Builds VELTRA.dll and delpad.exe for 32-bit and 64-bit Windows, checks
# both export tables and delpad.exe's imports, and runs the 64-bit test
# suite under Wine in a fresh prefix (delpad.exe's on Xvfb). (32-bit
# programs cannot run on this kernel: that build is built and checked only.)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh windows desktop

export WINEDEBUG=-all
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/veltra-wine.XXXXXX")
export WINEPREFIX
cleanup() {
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
wineboot -i >/dev/null 2>&1 || true
# Let the prefix's wineserver end, so that its registry is on disk before
# tests copy the prefix.
wineserver -w || true

# Minutes since the last mark, for CI's log.
mark=$SECONDS
took() {
    awk -v s=$((SECONDS - mark)) -v w="$1" 'BEGIN{printf "test-windows.sh: %s %.1f min\n", w, s/60}'
    mark=$SECONDS
}

# 32-bit: what its checks read, the DLL's exports and delpad.exe's imports
# (32-bit programs cannot run here, so nothing else of it is tested).
cmake --preset mingw-i686 >/dev/null
cmake --build --preset mingw-i686 --target veltra delpad
ctest --preset mingw-i686
took "32-bit build and export checks"

cmake --preset mingw-x64 >/dev/null
cmake --build --preset mingw-x64
took "64-bit build"
ctest --preset mingw-x64
took "64-bit tests under Wine"
