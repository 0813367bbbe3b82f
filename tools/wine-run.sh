#!/usr/bin/env bash
# Runs a Windows program under Wine: the CTest emulator of the windows flavour.
#   wine-run.sh [--own-prefix] [--display] program [args...]
# The prefix is $ZAV_WINEPREFIX (made on first use); --own-prefix runs on a
# copy of it that is removed afterwards, for tests that touch global names or
# shared registry keys; --display runs the program under a virtual X server.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
own=0
display=0
while [ $# -gt 0 ]; do
  case "$1" in
    --own-prefix) own=1; shift ;;
    --display) display=1; shift ;;
    *) break ;;
  esac
done
base=${ZAV_WINEPREFIX:-$here/../build/windows/wineprefix}
"$here/wine-prefix.sh" "$base"
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
prefix=$base
if [ $own = 1 ]; then
  prefix=$(mktemp -d "${TMPDIR:-/tmp}/zav-prefix.XXXXXX")
  cp -a "$base/." "$prefix/"
fi
export WINEPREFIX=$prefix
# 64-bit programs need wine64 (the wine launcher picks the 32-bit loader).
wine=wine
case "$(file -b "$1")" in *x86-64*) wine=/usr/lib/wine/wine64; export WINELOADER=$wine ;; esac
# The first program of a wineserver's life starts Wine's service processes,
# which inherit its output: CTest would then wait for that test's output to
# end until the services go, long after the test. So the shared prefix's
# server is started here, and its services by a program of our own with no
# output. The server stays until it is ended (tools/test.sh ends it): one that
# ended on its own could do so just after this check found it running, and the
# test's program would then start a new one whose services hold the test's
# output (seen as a test that passed and then ran out of time).
if [ $own = 0 ]; then
  (
    flock 9
    if /usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1 9>&-; then
      "$wine" cmd /c exit </dev/null >/dev/null 2>&1 9>&-
    fi
  ) 9>"$base.server-lock"
fi
# A prefix of the test's own starts its services quietly too, on the display
# the program gets: a crash report from one of Wine's services (seen under
# load) is no fault of the test's.
start='if [ "$1" = 1 ]; then "$2" cmd /c exit </dev/null >/dev/null 2>&1; fi; shift; exec "$@"'
if [ $display = 1 ]; then
  xvfb-run -a -s "-screen 0 1024x768x24" sh -c "$start" start "$own" "$wine" "$@"
else
  unset DISPLAY
  sh -c "$start" start "$own" "$wine" "$@"
fi
rc=$?
if [ $own = 1 ]; then
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$prefix"
fi
exit $rc
