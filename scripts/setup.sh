#!/usr/bin/env bash
# Installs, from Debian's packages, what the build and the tests need.
# Usage: bash scripts/setup.sh [windows]
# Only missing packages are installed; sudo is used when not run as root.
set -euo pipefail

packages=(g++ cmake ninja-build googletest libgtest-dev python3 python3-venv tftpd-hpa tftp-hpa curl)
for group in "$@"; do
    case $group in
        windows) packages+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
                            binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 wine wine64) ;;
        *) echo "unknown package group: $group" >&2; exit 2 ;;
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
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
fi
