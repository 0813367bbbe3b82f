#!/usr/bin/env bash
# Creates the Wine prefix at $1 once (wineboot takes about ten seconds).
set -euo pipefail
prefix=$1
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
if [ ! -f "$prefix/.zav-ready" ]; then
  rm -rf "$prefix"
  export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
  /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
  /usr/lib/wine/wineserver -w
  touch "$prefix/.zav-ready"
fi
