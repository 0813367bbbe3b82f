#!/usr/bin/env bash
# Sets up, builds client.exe and updater.exe into dist/, starts the client
# under Wine and prints its debug log decrypted with the test key.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash tools/setup.sh >/dev/null
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" --target client updater
mkdir -p dist
cp build/windows/dist/client.exe build/windows/dist/updater.exe dist/

run_dir=build/windows/dist
if ! tools/can-run-win32.sh; then
  echo "run: this kernel can't run 32-bit programs; running the x86_64 build of the same client"
  cmake --preset windows64 >/dev/null
  cmake --build --preset windows64 -j "$(nproc)" --target client updater
  run_dir=build/windows64/dist
fi
export ZAV_WINEPREFIX="$top/build/run-wineprefix"
rm -f "$run_dir/logs/debug.dat"
set +e
timeout 120 tools/wine-run.sh "$run_dir/client.exe"
echo "run: client exited with code $?"
set -e
echo "run: debug log ($run_dir/logs/debug.dat):"
/usr/bin/python3 tools/readlog.py "$run_dir/logs/debug.dat" tests/keys/log-test-private.pem
