#!/usr/bin/env bash
# Sets up, builds client.exe and updater.exe into dist/, then starts a test
# copy of the client under Wine beside the stand-in runtime DLL and GUI (the
# shipped client in dist/ never gets that DLL), with the stand-in backend and
# download server on the built-in ports. The test copy is the shipped program
# but for its tunnel's network configuration, which it records in
# network-record.txt instead of changing this machine's routes and DNS. The
# stand-in GUI logs in once the channel is ready; its main window shows the
# sub-accounts, the chosen one's details, its servers (loopback addresses)
# with the latencies the client measures, and the games; it switches to the
# second sub-account, connects to its first server (as root: through a real
# OpenVPN client and server inside a network namespace, behind the stand-in
# OpenVPN.exe of the prefix's fixture installation), reads the rates for a few
# seconds, disconnects, then logs out, and when the login window is back it
# closes both windows. Prints what the GUI was told (without reference
# counting and the main window's control-state calls; gui.txt has them all),
# what the tunnel did to the network configuration, then the client's debug
# log decrypted with the test key.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
# ZAV_WINE64_ONLY=1 takes the road of a machine that cannot run 32-bit programs.
if [ "${ZAV_WINE64_ONLY:-}" = 1 ] && tools/can-run-win32.sh; then exec tools/wine64-only.sh "$0" "$@"; fi
bash tools/setup.sh >/dev/null
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" --target client updater
mkdir -p dist
cp build/windows/dist/client.exe build/windows/dist/client.exe.debug build/windows/dist/updater.exe \
  build/windows/dist/updater.exe.debug dist/

build=build/windows
if ! tools/can-run-win32.sh; then
  echo "run: this kernel can't run 32-bit programs; running the x86_64 build of the same client"
  build=build/windows64
  cmake --preset windows64 >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target client updater zav_client_tunnelcopy zav_standin_mscoree make_manifest \
  demo_tunnel_prefix ovpn_management_standin

run_dir="$build/run-client"
rm -rf "$run_dir"
mkdir -p "$run_dir"
cp "$build/tests/hosting/tunnel/client.exe" "$build/tests/hosting/full/mscoree.dll" "$run_dir/"
run_win="Z:$(cd "$run_dir" && pwd | sed 's|/|\\|g')"

export ZAV_WINEPREFIX="$top/build/run-wineprefix"
tools/wine-prefix.sh "$ZAV_WINEPREFIX"
# The prefix's Wine server prints what it still holds when it ends, on the
# output it was started with: it starts here without one, and ends before the
# records below.
end_wine() { WINEPREFIX="$ZAV_WINEPREFIX" /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  WINEPREFIX="$ZAV_WINEPREFIX" /usr/lib/wine/wineserver -w >/dev/null 2>&1 || true; }
end_wine
WINEPREFIX="$ZAV_WINEPREFIX" /usr/lib/wine/wineserver -p60 </dev/null >/dev/null 2>&1
# Wine's service processes, which the first program starts, get no output either.
WINEPREFIX="$ZAV_WINEPREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINELOADER=/usr/lib/wine/wine64 \
  /usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1
# The client starts only with .NET Framework 4.5 or later registered.
WINEPREFIX="$ZAV_WINEPREFIX" WINEDEBUG=-all /usr/lib/wine/wine64 'C:\windows\system32\reg.exe' add \
  'HKLM\Software\Microsoft\NET Framework Setup\NDP\v4\Full' /v Release /t REG_DWORD /d 528040 /f /reg:64 >/dev/null

# The download server offers the manifest of the client as it is: no update.
tools/wine-run.sh "$build/tests/make_manifest.exe" "$run_win\\client.exe" "$run_win\\desc"

# A machine the client has run on: OpenVPN (the stand-in that relays to the
# bridge's real OpenVPN), TAP-Windows and the client's own TAP adapter.
tools/wine-run.sh "$build/tests/demo_tunnel_prefix.exe" "$run_win"

export WINEDLLOVERRIDES="mscoree=n;mshtml="
export ZAV_STANDIN_RECORD="$run_win\\gui.txt"
peers=(/usr/bin/python3 tests/support/demo_peers.py "$run_dir/desc")
if [ "$(id -u)" = 0 ]; then
  export ZAV_STANDIN_GUI="login-on-state:4:demo:demo:0,main-steps:choose-1:connect-0-0-1:rates-6:disconnect:logout,leave-after-logout"
  peers=(/usr/bin/python3 tests/support/openvpn/bridge.py --exec "${peers[@]}" --openvpn-bin "$run_dir/OpenVPN/bin")
else
  echo "run: not root, so no network namespace for the real OpenVPN peers: the run does not connect"
  export ZAV_STANDIN_GUI="login-on-state:4:demo:demo:0,main-steps:choose-1:logout,leave-after-logout"
fi
set +e
timeout 240 "${peers[@]}" --exec tools/wine-run.sh "$run_dir/client.exe"
code=$?
set -e
end_wine
echo "run: what the stand-in GUI was told ($run_dir/gui.txt):"
grep -v -e "::Release " -e "::QueryInterface " -e "IMainView::enableIdleControls" -e "IMainView::setConnected " \
  -e "IMainView::enableRepair " -e "IMainView::enableConnectChoice " "$run_dir/gui.txt" 2>/dev/null || echo "(nothing)"
echo "run: the tunnel's network configuration ($run_dir/network-record.txt):"
cat "$run_dir/network-record.txt" 2>/dev/null || echo "(nothing)"
echo "run: debug log ($run_dir/logs/debug.dat):"
/usr/bin/python3 tools/readlog.py "$run_dir/logs/debug.dat" tests/keys/log-test-private.pem || echo "(not readable)"
echo "run: client exited with code $code"
exit "$code"
