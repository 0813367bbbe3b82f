#!/usr/bin/env bash
# fatalError shows "Fatal Error.\nError Code: N" with no caption, error icon and
# top-most flags, then ends the process with exit code 1.
set -uo pipefail
top=$1 probe=$2
base=${ZAV_WINEPREFIX:?}
"$top/tools/wine-prefix.sh" "$base"
prefix=$(mktemp -d "${TMPDIR:-/tmp}/zav-fatal.XXXXXX")
trap '/usr/lib/wine/wineserver -k 2>/dev/null; rm -rf "$prefix"' EXIT
cp -a "$base/." "$prefix/"
export WINEPREFIX=$prefix WINEDLLOVERRIDES="mscoree,mshtml="
wine=wine
case "$(file -b "$probe")" in *x86-64*) wine=/usr/lib/wine/wine64 ;; esac
WINEDEBUG=-all "$wine" 'C:\windows\system32\reg.exe' add 'HKCU\Software\Wine\Debug' /v RelayInclude /d user32.MessageBoxW /f >/dev/null
trace=$(WINEDEBUG=-all,+relay "$wine" "$probe" 57 2>&1)
rc=$?
fail=0
[ $rc = 1 ] || { echo "exit code $rc, expected 1"; fail=1; }
# MB_ICONERROR | MB_TOPMOST = 0x40010; no owner, no caption.
echo "$trace" | grep -q 'MessageBoxW(00000000,[0-9a-fx]* L"Fatal Error.\\nError Code: 57",00000000,00040010)' || {
  echo "message box call not seen:"; echo "$trace" | grep MessageBoxW; fail=1; }
[ $fail = 0 ] && echo "1 passed, 0 failed"
exit $fail
