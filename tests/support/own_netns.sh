#!/usr/bin/env bash
# Runs a command in a network namespace of its own with only loopback up, so
# that the system's connection table holds this test's connections alone.
# Wine's read of that table with each row's owner costs more with every
# connection on the machine: beside the other tests' hundreds of loopback
# connections a single read was seen to take 9 s, longer than the tunnel's
# 5 s wait for OpenVPN's management connection. Where no namespace can be made
# (not root) the command runs as it is.
#   own_netns.sh command...
set -uo pipefail
# Made outside first: the wineserver that boots the shared prefix must not
# live in the namespace.
"$ZAV_SOURCE_DIR/tools/wine-prefix.sh" "$ZAV_WINEPREFIX" || exit 1
if [ "$(id -u)" = 0 ] && unshare --net true 2>/dev/null; then
  exec unshare --net sh -c 'ip link set lo up && exec "$@"' own_netns "$@"
fi
exec "$@"
