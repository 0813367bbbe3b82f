#!/usr/bin/env bash
# Creates the Wine prefix at $1 once (wineboot takes about ten seconds). Where
# 32-bit Wine cannot run, wineboot leaves syswow64 empty; a prefix made on the
# other kind of machine (or in tools/wine64-only.sh) is made again.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
prefix=$1
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
kind=win64-only
if "$here/can-run-win32.sh"; then kind=wow64; fi
if [ "$(cat "$prefix/.zav-ready" 2>/dev/null)" != "$kind" ]; then
  if [ -d "$prefix" ]; then WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true; fi
  rm -rf "$prefix"
  export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64 \
    WINELOADER=/usr/lib/wine/wine64
  /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
  /usr/lib/wine/wineserver -w
  echo "$kind" >"$prefix/.zav-ready"
fi
