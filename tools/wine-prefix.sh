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
# The marker names the set-up too, so a prefix made by an older one is made again.
ready="$kind, no crash debugger"
if [ "$(cat "$prefix/.zav-ready" 2>/dev/null)" != "$ready" ]; then
  if [ -d "$prefix" ]; then WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true; fi
  rm -rf "$prefix"
  export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64 \
    WINELOADER=/usr/lib/wine/wine64
  /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
  # A crash prints Wine's own line (the fault, its address, the thread) and
  # ends the program at once: the debugger named here does not exist, so none
  # starts (winedbg was seen to hang on a crash, a test then waiting out its
  # time-out) and no crash dialog comes. Both registry views: a 32-bit program
  # reads the 32-bit one.
  for view in 64 32; do
    /usr/lib/wine/wine64 'C:\windows\system32\reg.exe' add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
      /v Debugger /d no-debugger-on-crash /f "/reg:$view" >/dev/null 2>&1
    /usr/lib/wine/wine64 'C:\windows\system32\reg.exe' add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
      /v Auto /d 1 /f "/reg:$view" >/dev/null 2>&1
  done
  /usr/lib/wine/wineserver -w
  echo "$ready" >"$prefix/.zav-ready"
fi
