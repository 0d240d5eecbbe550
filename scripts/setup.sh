#!/usr/bin/env bash
# Installs, from Debian's packages, what the build and the tests need.
# Usage: bash scripts/setup.sh [windows]
# Only missing packages are installed; sudo is used when not run as root.
set -euo pipefail

# tftp-hpa and curl are real TFTP clients the simulated register is tested
# with; tftpd-hpa is the real server the TFTP client is tested against;
# Qt 6 and the Liberation fonts are DELPAD's.
packages=(g++ cmake ninja-build googletest libgtest-dev python3 python3-venv
          tftp-hpa curl tftpd-hpa qt6-base-dev qt6-qpa-plugins fonts-liberation)

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    # tftpd-hpa's package would start a system TFTP service; nothing here
    # wants one (the benchmark starts in.tftpd by hand), so package scripts
    # may not start services while we install, unless the machine already
    # has its own rule for that.
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' | "${sudo_cmd[@]}" tee /usr/sbin/policy-rc.d >/dev/null
        "${sudo_cmd[@]}" chmod 755 /usr/sbin/policy-rc.d
        trap '"${sudo_cmd[@]}" rm -f /usr/sbin/policy-rc.d' EXIT
    fi
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
fi
