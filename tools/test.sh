#!/usr/bin/env bash
# Sets up, builds both flavours and runs every test.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
# ZAV_WINE64_ONLY=1 takes the road of a machine that cannot run 32-bit programs.
if [ "${ZAV_WINE64_ONLY:-}" = 1 ] && tools/can-run-win32.sh; then exec tools/wine64-only.sh "$0" "$@"; fi
# The shared prefixes' Wine servers stay until ended (tools/wine-run.sh).
# A server that has already gone makes wineserver -k fail: that is no test failure.
trap 'for p in build/*/wineprefix; do if [ -d "$p" ]; then WINEPREFIX="$top/$p" /usr/lib/wine/wineserver -k 2>/dev/null || true; fi; done' EXIT
bash tools/setup.sh >/dev/null
/usr/bin/python3 tools/check-includes.py
jobs=$(nproc)

# The shipped i686 programs always build, with every test compiled for them.
presets=(native windows)
if tools/can-run-win32.sh; then
  windows_tests=windows
else
  echo "test: this kernel can't run 32-bit programs; the Windows tests run on the x86_64 build under wine64"
  presets+=(windows64)
  windows_tests=windows64
fi
for preset in "${presets[@]}"; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

# The fuzz targets: their corpora, then a fixed number of seeded runs each.
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"

for preset in native "$windows_tests" fuzz; do
  echo "test: $preset"
  ctest --preset "$preset" -j "$jobs"
done
