#!/usr/bin/env bash
# Installs, from Debian's packages, what the build and the tests need, then
# checks that every tool the chosen stages run is on PATH.
# Usage: bash scripts/setup.sh [group ...]
#   (none)    build, the Linux suites, the fuzz targets, the tool's libraries
#   windows   the mingw-w64 cross compilers and Wine, for scripts/test-windows.sh,
#             SQLite's amalgamation made from Debian's source package in
#             build/deps/sqlite3, and libxlsxwriter's sources from its own in
#             build/deps/xlsxwriter (a deb-src line for the machine's mirror
#             is added to apt's sources when none is there)
#   desktop   Xvfb and xdotool, for the window tests that drive real clicks
#   browser   Chromium and Selenium, for the service's web page tests
#   ci        ccache, with which CI's builds reuse what an earlier run compiled
#   package   NSIS, msitools' wixl, osslsigncode and lintian, for
#             scripts/package.sh and scripts/test-packages.sh
# Only missing packages are installed; sudo is used when not run as root.
# Exits non-zero, naming them, when tools are still missing afterwards.
set -euo pipefail

# tftp-hpa and curl are real TFTP clients the simulated register is tested
# with; tftpd-hpa is the real server the TFTP client is tested against;
# Qt 6 and the Liberation fonts are DELPAD's; clang with its runtimes builds
# the libFuzzer targets; CLI11 and nlohmann-json are the
# command-line tool's header-only libraries, and Boost's Beast and URL (1.81:
# bookworm's plain libboost-dev is 1.74, which has no URL) its service's;
# SQLite holds the service's journal, OpenSSL's libcrypto hashes its audit
# trail and its libssl speaks HTTPS (the openssl program makes the tests'
# certificates); zlib compresses its archives and reads gzip backups.
packages=(g++ cmake ninja-build googletest libgtest-dev python3 python3-venv
          tftp-hpa curl tftpd-hpa qt6-base-dev qt6-qpa-plugins fonts-liberation
          clang libclang-rt-14-dev libfuzzer-14-dev clang-format
          libcli11-dev nlohmann-json3-dev libboost1.81-dev libsqlite3-dev libssl-dev openssl zlib1g-dev)
# Prometheus' promtool checks the service's /metrics scrape.
packages+=(prometheus)
# libxlsxwriter writes the sales workbooks; openpyxl reads them back in the
# tests.
packages+=(libxlsxwriter-dev python3-openpyxl)
# A chain's shops share their jobs in PostgreSQL through libpq; the tests
# start a server of their own with Debian's initdb and pg_ctl.
packages+=(libpq-dev postgresql)
# The language bindings' tests: Mono compiles and runs the C# tour, Free
# Pascal the Pascal one; the Python package installs offline with Debian's
# setuptools, wheel and build.
packages+=(mono-mcs mono-runtime fpc python3-setuptools python3-wheel python3-build)
# Each stage's commands, checked after installing.
tools=(cmake ninja g++ ctest in.tftpd tftp curl python3 clang clang++ clang-format promtool openssl
       mcs mono fpc)

for group in "$@"; do
    case $group in
        windows)
            # tclsh and make build SQLite's amalgamation from its source;
            # zlib comes built for both mingw-w64 targets.
            packages+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
                       binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 wine wine64
                       dpkg-dev tcl make libz-mingw-w64-dev)
            sqlite_source=yes
            xlsx_source=yes
            tools+=(x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix
                    x86_64-w64-mingw32-objdump i686-w64-mingw32-objdump
                    i686-w64-mingw32-dlltool wine wineserver wineboot) ;;
        desktop)
            packages+=(xvfb xauth xdotool x11-utils imagemagick)
            tools+=(Xvfb xvfb-run xdotool xdpyinfo import convert) ;;
        browser)
            packages+=(chromium chromium-driver python3-selenium)
            tools+=(chromium chromedriver) ;;
        package)
            packages+=(nsis wixl osslsigncode lintian fakeroot dpkg-dev openssl systemd)
            tools+=(makensis wixl wixl-heat osslsigncode lintian dpkg-deb dpkg-shlibdeps
                    openssl systemd-analyze) ;;
        ci)
            packages+=(ccache)
            tools+=(ccache) ;;
        *) echo "setup.sh: unknown package group: $group" >&2; exit 2 ;;
    esac
done

sqlite_source=${sqlite_source:-}
xlsx_source=${xlsx_source:-}
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    # tftpd-hpa's package would start a system TFTP service; nothing here
    # wants one (the tests start in.tftpd by hand), so package scripts may
    # not start services while we install, unless the machine already has
    # its own rule for that.
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' | "${sudo_cmd[@]}" tee /usr/sbin/policy-rc.d >/dev/null
        "${sudo_cmd[@]}" chmod 755 /usr/sbin/policy-rc.d
        trap '"${sudo_cmd[@]}" rm -f /usr/sbin/policy-rc.d' EXIT
    fi
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
fi

# Debian has no mingw-w64 build of SQLite nor of libxlsxwriter: the Windows
# presets compile them from Debian's source packages as static libraries.
# They live in the build tree, never in git.
deps=$(cd "$(dirname "$0")/.." && pwd)/build/deps

# apt-get source needs a deb-src line; one for the machine's own mirror is
# added when none is there.
add_deb_src() {
    if ! grep -Eqs '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/*; then
        # The same Debian mirror as the machine's own deb entries (one-line
        # or deb822), the main archive only.
        src=/etc/apt/sources.list.d/veltra-deb-src
        if ls /etc/apt/sources.list.d/*.sources >/dev/null 2>&1; then
            awk 'BEGIN { RS = ""; ORS = "\n\n" }
                 /(^|\n)Types:[^\n]*deb/ && /(^|\n)URIs:[^\n]*\/debian\/?(\n|$)/ {
                     sub(/Types:[^\n]*/, "Types: deb-src"); gsub(/(^|\n)#[^\n]*/, ""); print }' \
                /etc/apt/sources.list.d/*.sources | "${sudo_cmd[@]}" tee "$src.sources" >/dev/null
        else
            grep -hE '^deb +(\[[^]]*\] +)?[a-z]+://[^ ]*/debian/? ' /etc/apt/sources.list \
                    /etc/apt/sources.list.d/*.list 2>/dev/null | sed 's/^deb /deb-src /' |
                "${sudo_cmd[@]}" tee "$src.list" >/dev/null
        fi
        "${sudo_cmd[@]}" apt-get update -qq
    fi
}

# SQLite's source package builds the amalgamation (sqlite3.c).
if [ -n "$sqlite_source" ] && [ ! -f "$deps/sqlite3/sqlite3.c" ]; then
    add_deb_src
    started=$SECONDS
    rm -rf "$deps/sqlite3-src"
    mkdir -p "$deps/sqlite3-src" "$deps/sqlite3"
    (cd "$deps/sqlite3-src" && apt-get source -qq sqlite3 >/dev/null 2>&1 &&
        mkdir amalgamation && cd amalgamation &&
        ../sqlite3-*/configure --disable-tcl >/dev/null &&
        make -s sqlite3.c >/dev/null)
    cp "$deps"/sqlite3-src/amalgamation/sqlite3.[ch] "$deps/sqlite3/"
    rm -rf "$deps/sqlite3-src"
    echo "setup.sh: SQLite's amalgamation made in $deps/sqlite3 ($((SECONDS - started)) s)"
fi

# libxlsxwriter's library sources, the minizip and tmpfileplus it bundles,
# and its licence (which carries theirs), for the Windows packages.
if [ -n "$xlsx_source" ] && [ ! -f "$deps/xlsxwriter/include/xlsxwriter.h" ]; then
    add_deb_src
    rm -rf "$deps/xlsxwriter-src" "$deps/xlsxwriter"
    mkdir -p "$deps/xlsxwriter-src" "$deps/xlsxwriter/third_party/minizip"
    (cd "$deps/xlsxwriter-src" && apt-get source -qq libxlsxwriter >/dev/null 2>&1)
    xsrc=$(echo "$deps"/xlsxwriter-src/libxlsxwriter-*/)
    cp -r "$xsrc/include" "$xsrc/src" "$xsrc/License.txt" "$deps/xlsxwriter/"
    cp "$xsrc"/third_party/minizip/{ioapi,zip}.[ch] "$xsrc/third_party/minizip/crypt.h" \
        "$deps/xlsxwriter/third_party/minizip/"
    cp -r "$xsrc/third_party/tmpfileplus" "$deps/xlsxwriter/third_party/"
    rm -rf "$deps/xlsxwriter-src"
    echo "setup.sh: libxlsxwriter's sources copied to $deps/xlsxwriter"
fi

# in.tftpd lives in /usr/sbin, which a plain user's PATH may lack.
PATH=$PATH:/usr/sbin:/sbin
absent=()
for t in "${tools[@]}"; do
    command -v "$t" >/dev/null 2>&1 || absent+=("$t")
done
if [ ${#absent[@]} -gt 0 ]; then
    echo "setup.sh: missing after install: ${absent[*]}" >&2
    exit 1
fi
