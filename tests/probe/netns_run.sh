#!/usr/bin/env bash
# Runs a test command inside a network namespace of its own, made here and
# removed afterwards:
#   netns_run.sh command [args...]
# The namespace has only its loopback, which ignores echo requests
# (127.0.0.1 is silent there), a resolv.conf naming 127.0.0.1 where nothing
# listens (every lookup fails at once), a hosts file with two names of its
# own (one listed IPv6 first, then IPv4; one IPv6 only), and the marker route 127.77.0.0/16 by
# which the test checks that Wine reads this namespace's table. Wine's network
# calls run in its own service process, so the test gets a prefix of its own
# whose wineserver starts inside the namespace. Needs root.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "netns_run.sh: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || fail "needs root to make a network namespace"
command -v ip >/dev/null || fail "ip (iproute2) is missing"

# Namespaces left by runs that were killed (their shell is gone).
for old in $(ip netns list | sed -n 's/^\(zavprobe-[0-9]*\).*/\1/p'); do
  kill -0 "${old#zavprobe-}" 2>/dev/null && continue
  ip netns pids "$old" | xargs -r kill -9 2>/dev/null
  ip netns del "$old" 2>/dev/null
  rm -rf "/etc/netns/$old"
done

ns="zavprobe-$$"
prefix=""
cleanup() {
  if [ -n "$prefix" ]; then
    ip netns exec "$ns" env WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
    rm -rf "$prefix" "$prefix.lock"
  fi
  rm -rf "/etc/netns/$ns"
  ip netns del "$ns" 2>/dev/null || true
}
trap cleanup EXIT

ip netns add "$ns" || fail "cannot make network namespace $ns"
ip netns exec "$ns" ip link set lo up || fail "cannot bring up lo in $ns"
ip netns exec "$ns" sh -c 'echo 1 > /proc/sys/net/ipv4/icmp_echo_ignore_all' || fail "cannot silence echoes in $ns"
ip netns exec "$ns" ip route add 127.77.0.0/16 dev lo || fail "cannot add the marker route in $ns"
mkdir -p "/etc/netns/$ns"
echo "nameserver 127.0.0.1" > "/etc/netns/$ns/resolv.conf"
printf '::1 zav-probe-dual\n127.0.0.1 zav-probe-dual\n::1 zav-probe-v6only\n' > "/etc/netns/$ns/hosts"

base=${ZAV_WINEPREFIX:?ZAV_WINEPREFIX is not set}
"$here/../../tools/wine-prefix.sh" "$base" || fail "cannot make the Wine prefix"
prefix=$(mktemp -d "${TMPDIR:-/tmp}/zav-netns-prefix.XXXXXX")
cp -a "$base/." "$prefix/"

# One shell for the checks and the run, so both see the same bind mounts.
ip netns exec "$ns" env ZAV_WINEPREFIX="$prefix" ZAV_NETNS="$ns" sh -c '
  [ "$(cat /proc/sys/net/ipv4/icmp_echo_ignore_all)" = 1 ] || { echo "echoes are not ignored here" >&2; exit 1; }
  [ "$(grep -v "^#" /etc/resolv.conf)" = "nameserver 127.0.0.1" ] || { echo "resolv.conf is not the namespace one" >&2; exit 1; }
  grep -q zav-probe-dual /etc/hosts || { echo "hosts is not the namespace one" >&2; exit 1; }
  [ -z "$(ip -4 addr show scope global)" ] || { echo "the namespace has more than loopback" >&2; exit 1; }
  exec timeout -k 5 120 "$@"' netns_run "$@"
