#!/usr/bin/env bash
# Saves docs/delpad-win32.png, the picture of the Windows DELPAD that README
# shows: delpad.exe under Wine on Xvfb, connected to loopback registers, a
# total on its display. Needs the mingw-x64 build (delpad, delpad_probe).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/mingw-x64
cmake --build --preset mingw-x64 --target delpad delpad_probe
python3 tests/keypad/win32/delpad_wine_test.py \
    --delpad "$build/keypad/win32/delpad.exe" \
    --probe "$build/tests/keypad/win32/delpad_probe.exe" \
    --wine cmake/wine-run.sh --screenshot docs/delpad-win32.png
