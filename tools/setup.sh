#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need and builds the
# MinGW copies of libuv, mbedTLS and http-parser from Debian's own sources.
# Safe to run again: each step is skipped once done.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
deps="$top/.deps"
sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo

packages=(
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  cmake ninja-build pkg-config g++ make
  wine wine32:i386 wine64 xvfb xauth
  googletest rapidjson-dev libutfcpp-dev libz-mingw-w64-dev
  libuv1-dev libmbedtls-dev libhttp-parser-dev zlib1g-dev
  python3 python3-cryptography openssl osslsigncode dpkg-dev file curl libcurl4-openssl-dev iproute2 openvpn
  clang libclang-rt-14-dev
)

missing=()
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
  missing=("${packages[@]}")
else
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
fi

# Source entries mirror the machine's own binary entries, so no host is named here.
src_list=/etc/apt/sources.list.d/zav-deb-src.sources
if [ ! -f "$src_list" ]; then
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    grep -q '^Types: deb$' "$f" || continue
    sed -e 's/^Types: deb$/Types: deb-src/' "$f"
    echo
  done | $sudo tee "$src_list.tmp" >/dev/null
  if [ -f /etc/apt/sources.list ] && grep -q '^deb ' /etc/apt/sources.list; then
    grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' | $sudo tee /etc/apt/sources.list.d/zav-deb-src.list >/dev/null
  fi
  $sudo mv "$src_list.tmp" "$src_list"
  missing+=(__update__)
fi

if [ ${#missing[@]} -gt 0 ]; then
  $sudo apt-get update -q
  real=()
  for p in "${missing[@]}"; do [ "$p" = __update__ ] || real+=("$p"); done
  if [ ${#real[@]} -gt 0 ]; then
    $sudo apt-get install -y -q --no-install-recommends "${real[@]}"
  fi
fi

mkdir -p "$deps/src"

fetch_source() {  # package: prints the unpacked source folder
  local pkg=$1
  if ! ls -d "$deps/src/$pkg"-*/ >/dev/null 2>&1; then
    (cd "$deps/src" && apt-get source -q "$pkg" >&2)
  fi
  ls -d "$deps/src/$pkg"-*/ | head -n 1 | sed "s:/$::"
}

# The shipped programs are i686; the x86_64 build exists for machines whose
# kernel can't run 32-bit Wine, where the Windows tests run under wine64.
for arch in i686 x86_64; do
  prefix="$deps/$arch"
  toolchain="$top/cmake/mingw-$arch.cmake"
  build="$deps/build/$arch"
  if [ ! -f "$prefix/lib/libuv.a" ]; then
    src=$(fetch_source libuv1)
    cmake -S "$src" -B "$build/libuv" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_BUILD_TYPE=Release -DLIBUV_BUILD_TESTS=OFF -DLIBUV_BUILD_BENCH=OFF \
      -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
    cmake --build "$build/libuv" >/dev/null
    cmake --install "$build/libuv" >/dev/null
    # Only the static archive is wanted; the import library would win the link otherwise.
    rm -f "$prefix/lib/libuv.dll.a" "$prefix/bin/libuv.dll"
    cp "$prefix/lib/libuv_a.a" "$prefix/lib/libuv.a"
  fi
  if [ ! -f "$prefix/lib/libmbedtls.a" ]; then
    src=$(fetch_source mbedtls)
    cmake -S "$src" -B "$build/mbedtls" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_BUILD_TYPE=Release -DENABLE_TESTING=OFF -DENABLE_PROGRAMS=OFF \
      -DMBEDTLS_FATAL_WARNINGS=OFF -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
    cmake --build "$build/mbedtls" >/dev/null
    cmake --install "$build/mbedtls" >/dev/null
  fi
  if [ ! -f "$prefix/lib/libhttp_parser.a" ]; then
    src=$(fetch_source http-parser)
    mkdir -p "$build/http-parser" "$prefix/include" "$prefix/lib"
    "$arch-w64-mingw32-gcc-posix" -O2 -c "$src/http_parser.c" -o "$build/http-parser/http_parser.o"
    "$arch-w64-mingw32-ar" rcs "$prefix/lib/libhttp_parser.a" "$build/http-parser/http_parser.o"
    cp "$src/http_parser.h" "$prefix/include/"
  fi
  # The header-only libraries come from Debian's packages; the MinGW build sees
  # only these folders of the host's include tree.
  mkdir -p "$prefix/include-headeronly"
  ln -sfn /usr/include/rapidjson "$prefix/include-headeronly/rapidjson"
  ln -sfn /usr/include/utf8cpp/utf8 "$prefix/include-headeronly/utf8"
  ln -sfn /usr/include/utf8cpp/utf8.h "$prefix/include-headeronly/utf8.h"
done
echo "setup: done"
