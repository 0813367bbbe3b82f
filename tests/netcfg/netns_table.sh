#!/usr/bin/env bash
# Runs a command inside a network namespace of its own with a routing table the
# test knows: 10.77.0.2/24 on one end of a veth pair, default routes through
# 10.77.0.1 (metric 25) and 10.77.0.254 (metric 10), 198.51.100.0/24 through
# 10.77.0.1. Exit code 77 (skipped) where no namespace can be made.
#   netns_table.sh command...
set -uo pipefail
# Made outside first: the wineserver that boots it must not live in the namespace.
"$ZAV_SOURCE_DIR/tools/wine-prefix.sh" "$ZAV_WINEPREFIX" || exit 1
ns=zav-netcfg-$$
if ! ip netns add "$ns" 2>/dev/null; then
  echo "no network namespace can be made here: skipped"
  exit 77
fi
trap 'ip netns del "$ns"' EXIT
ip netns exec "$ns" sh -ec '
  ip link set lo up
  ip link add va type veth peer name vb
  ip addr add 10.77.0.2/24 dev va
  ip link set va up
  ip link set vb up
  ip route add default via 10.77.0.1 metric 25
  ip route add default via 10.77.0.254 metric 10
  ip route add 198.51.100.0/24 via 10.77.0.1' || exit 1
ZAV_NETNS_TABLE=1 ip netns exec "$ns" "$@"
