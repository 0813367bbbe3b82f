#!/usr/bin/env bash
# Sets up, builds client.exe and updater.exe into dist/, then starts a test
# copy of the client under Wine beside the stand-in runtime DLL and GUI (the
# shipped client in dist/ never gets that DLL), with the stand-in backend and
# download server on the built-in ports. The stand-in GUI logs in once the
# channel is ready; its main window shows the sub-accounts, the chosen one's
# details, its servers (loopback addresses) with the latencies the client
# measures, and the games; it switches to the second sub-account once, then
# logs out, and when the login window is back it closes both windows. Prints
# what the GUI was told (without reference counting and the main window's
# control-state calls; gui.txt has them all), then the client's debug log
# decrypted with the test key.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash tools/setup.sh >/dev/null
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" --target client updater
mkdir -p dist
cp build/windows/dist/client.exe build/windows/dist/updater.exe dist/

build=build/windows
if ! tools/can-run-win32.sh; then
  echo "run: this kernel can't run 32-bit programs; running the x86_64 build of the same client"
  build=build/windows64
  cmake --preset windows64 >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target client updater zav_client_testcopy zav_standin_mscoree make_manifest

run_dir="$build/run-client"
rm -rf "$run_dir"
mkdir -p "$run_dir"
cp "$build/tests/hosting/client.exe" "$build/tests/hosting/full/mscoree.dll" "$run_dir/"
run_win="Z:$(cd "$run_dir" && pwd | sed 's|/|\\|g')"

export ZAV_WINEPREFIX="$top/build/run-wineprefix"
tools/wine-prefix.sh "$ZAV_WINEPREFIX"
# The client starts only with .NET Framework 4.5 or later registered.
WINEPREFIX="$ZAV_WINEPREFIX" WINEDEBUG=-all /usr/lib/wine/wine64 'C:\windows\system32\reg.exe' add \
  'HKLM\Software\Microsoft\NET Framework Setup\NDP\v4\Full' /v Release /t REG_DWORD /d 528040 /f /reg:64 >/dev/null

# The download server offers the manifest of the client as it is: no update.
tools/wine-run.sh "$build/tests/make_manifest.exe" "$run_win\\client.exe" "$run_win\\desc"

export WINEDLLOVERRIDES="mscoree=n;mshtml="
export ZAV_STANDIN_RECORD="$run_win\\gui.txt"
export ZAV_STANDIN_GUI="login-on-state:4:demo:demo:0,main-steps:choose-1:logout,leave-after-logout"
set +e
timeout 120 /usr/bin/python3 tests/support/demo_peers.py "$run_dir/desc" --exec \
  tools/wine-run.sh "$run_dir/client.exe"
code=$?
set -e
echo "run: client exited with code $code"
echo "run: what the stand-in GUI was told ($run_dir/gui.txt):"
grep -v -e "::Release " -e "::QueryInterface " -e "IMainView::enableIdleControls" -e "IMainView::setConnected " \
  -e "IMainView::enableRepair " -e "IMainView::enableConnectChoice " "$run_dir/gui.txt" 2>/dev/null || echo "(nothing)"
echo "run: debug log ($run_dir/logs/debug.dat):"
/usr/bin/python3 tools/readlog.py "$run_dir/logs/debug.dat" tests/keys/log-test-private.pem
