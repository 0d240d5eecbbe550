#!/usr/bin/env bash
# Installs, from Debian's packages, what the build and the tests need, then
# checks that every tool the chosen stages run is on PATH.
# Usage: bash scripts/setup.sh [group ...]
#   (none)    build, the Linux suites, the fuzz targets, the tool's libraries
#   windows   the mingw-w64 cross compilers and Wine, for scripts/test-windows.sh
#   desktop   Xvfb and xdotool, for the window tests that drive real clicks
#   browser   Chromium and Selenium, for the service's web page tests
#   ci        ccache, with which CI's builds reuse what an earlier run compiled
# Only missing packages are installed; sudo is used when not run as root.
# Exits non-zero, naming them, when tools are still missing afterwards.
set -euo pipefail

# tftp-hpa and curl are real TFTP clients the simulated register is tested
# with; tftpd-hpa is the real server the TFTP client is tested against;
# Qt 6 and the Liberation fonts are DELPAD's; clang with its runtimes builds
# the libFuzzer targets; CLI11 and nlohmann-json are the
# command-line tool's header-only libraries, and Boost's Beast and URL (1.81:
# bookworm's plain libboost-dev is 1.74, which has no URL) its service's.
packages=(g++ cmake ninja-build googletest libgtest-dev python3 python3-venv
          tftp-hpa curl tftpd-hpa qt6-base-dev qt6-qpa-plugins fonts-liberation
          clang libclang-rt-14-dev libfuzzer-14-dev clang-format
          libcli11-dev nlohmann-json3-dev libboost1.81-dev)
# Each stage's commands, checked after installing.
tools=(cmake ninja g++ ctest in.tftpd tftp curl python3 clang clang++ clang-format)

for group in "$@"; do
    case $group in
        windows)
            packages+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
                       binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 wine wine64)
            tools+=(x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix
                    x86_64-w64-mingw32-objdump i686-w64-mingw32-objdump
                    i686-w64-mingw32-dlltool wine wineserver wineboot) ;;
        desktop)
            packages+=(xvfb xauth xdotool x11-utils imagemagick)
            tools+=(Xvfb xvfb-run xdotool xdpyinfo import convert) ;;
        browser)
            packages+=(chromium chromium-driver python3-selenium)
            tools+=(chromium chromedriver) ;;
        ci)
            packages+=(ccache)
            tools+=(ccache) ;;
        *) echo "setup.sh: unknown package group: $group" >&2; exit 2 ;;
    esac
done

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
