#!/usr/bin/env bash
# Installs, from Debian's packages, what the build and the tests need.
# Usage: bash scripts/setup.sh [windows]
# Only missing packages are installed; sudo is used when not run as root.
set -euo pipefail

packages=(g++ cmake ninja-build googletest libgtest-dev python3 python3-venv tftpd-hpa tftp-hpa curl
          qt6-base-dev qt6-qpa-plugins fonts-liberation)

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
