#!/usr/bin/env bash
# Runs a command as on a machine whose kernel cannot run 32-bit programs: in a
# mount namespace of its own, 32-bit Wine's loader fails with "Exec format
# error", so tools/can-run-win32.sh says no, the x86_64 road is taken, and
# wineboot leaves syswow64 empty as it does there. Needs root (unshare -m).
#   wine64-only.sh command [args...]
set -euo pipefail
if [ $# = 0 ]; then
  echo "usage: wine64-only.sh command [args...]" >&2
  exit 2
fi
if [ "$(id -u)" != 0 ]; then
  echo "wine64-only: a private mount namespace needs root" >&2
  exit 1
fi
loader=/usr/lib/wine/wine
# A file that claims to be ELF but is none: execve refuses it with ENOEXEC.
fake=$(mktemp "${TMPDIR:-/tmp}/zav-no-ia32.XXXXXX")
trap 'rm -f "$fake"' EXIT
printf '\177ELF\001\001\001\000' >"$fake"
chmod 755 "$fake"
unshare --mount --propagation private -- sh -c 'mount --bind "$1" "$2" && shift 2 && exec "$@"' \
  wine64-only "$fake" "$loader" "$@"
