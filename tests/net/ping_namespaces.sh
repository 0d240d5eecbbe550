#!/usr/bin/env bash
# ecr_ping through each of the kernel's ICMP facilities, in private network
# namespaces where the test decides what the caller may open:
#   - only the unprivileged datagram socket (raw sockets dropped);
#   - only the raw socket (datagram sockets not granted to any group);
#   - neither: ERR_SOCKET_OPEN;
#   - loopback down, so nothing is reachable: ERR_RETE_NON_DISP.
# Needs root and unshare; exits 77 (skipped) otherwise.
set -u
ping_tool=$1
if [ "$(id -u)" -ne 0 ] || ! unshare -n true 2>/dev/null || ! command -v setpriv >/dev/null; then
    echo "needs root, unshare and setpriv: skipped"
    exit 77
fi

open_groups="echo '0 2147483647' > /proc/sys/net/ipv4/ping_group_range"
closed_groups="echo '1 0' > /proc/sys/net/ipv4/ping_group_range"
no_raw="setpriv --inh-caps=-net_raw --bounding-set=-net_raw"
failures=0

check() {
    local what=$1 setup=$2 runner=$3 want=$4
    local got
    got=$(unshare -n sh -c "$setup; $runner '$ping_tool' 127.0.0.1 1" 2>&1 | sed -n 's/^ping 127.0.0.1: //p')
    if [ "$got" = "$want" ]; then
        echo "ok   $what: $got"
    else
        echo "FAIL $what: got '$got', want '$want'"
        failures=$((failures + 1))
    fi
}

check "datagram socket only" "ip link set lo up; $open_groups" "$no_raw" 0
check "raw socket only" "ip link set lo up; $closed_groups" "" 0
check "no ICMP facility" "ip link set lo up; $closed_groups" "$no_raw" ERR_SOCKET_OPEN
check "loopback down, datagram" "$open_groups" "$no_raw" ERR_RETE_NON_DISP
check "loopback down, raw" "$closed_groups" "" ERR_RETE_NON_DISP
exit $((failures > 0))
