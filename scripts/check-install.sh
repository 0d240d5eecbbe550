#!/usr/bin/env bash
# A packager's view: a plain Release build of what is shipped (library,
# tools, ecrsim, DELPAD; no tests or benchmarks, as a packager builds it;
# warnings as errors, so a new warning fails here), cmake --install into a
# fresh prefix, and a user's project built against it through find_package
# and through pkg-config.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
work=$(mktemp -d "${TMPDIR:-/tmp}/veltra-install.XXXXXX")
trap 'rm -rf "$work"' EXIT

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTRA_WERROR=ON \
      -DVELTRA_BUILD_TESTS=OFF -DVELTRA_BUILD_BENCH=OFF >/dev/null
cmake --build build/release
cmake --install build/release --prefix "$work/prefix" >/dev/null

missing=0
for f in include/veltra.h lib/libveltra.so lib/pkgconfig/veltra.pc \
         lib/cmake/veltra/veltraConfig.cmake bin/ecrsim; do
    [ -e "$work/prefix/$f" ] || { echo "check-install: not installed: $f" >&2; missing=1; }
done
[ -e build/release/keypad/delpad ] && { [ -e "$work/prefix/bin/delpad" ] || {
    echo "check-install: not installed: bin/delpad" >&2; missing=1; }; }
[ -e build/release/tools/veltra/veltra ] && { [ -e "$work/prefix/bin/veltra" ] || {
    echo "check-install: not installed: bin/veltra" >&2; missing=1; }; }
[ "$missing" -eq 0 ]

cmake -S tests/install/consumer -B "$work/consumer" -G Ninja \
      -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib" "$work/consumer/consumer"

export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
# shellcheck disable=SC2046
cc -o "$work/consumer-pc" tests/install/consumer/main.c $(pkg-config --cflags --libs veltra)
LD_LIBRARY_PATH="$work/prefix/lib" "$work/consumer-pc"
"$work/prefix/bin/ecrsim" --help >/dev/null
# The installed tool runs on its own: its demo starts the embedded register.
if [ -e "$work/prefix/bin/veltra" ]; then
    "$work/prefix/bin/veltra" --version
    "$work/prefix/bin/veltra" demo "$work/demo" >/dev/null
fi
echo "check-install: the Release build, the installed files and both consumers are fine"
