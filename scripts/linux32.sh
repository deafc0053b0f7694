#!/usr/bin/env bash
# Builds mapconv and its tests for 32-bit x86 Linux and runs them: the arithmetic, sizes and libpng
# of a 32-bit build, which the 32-bit .exe shares, tested whether or not the kernel runs 32-bit
# code (natively where it does, else under qemu-i386). Then compares every output with the 64-bit
# build on the Windows comparison's cases.
#
# usage: scripts/linux32.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/setup.sh linux32

# Natively where the kernel runs 32-bit x86 code (the cross compiler's own loader runs); else
# every 32-bit program, the tests and the mapconv they start, runs under qemu-i386.
emulator=()
if /usr/i686-linux-gnu/lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  echo "linux32: the kernel runs 32-bit code: the tests run natively"
else
  emulator=(qemu-i386)
  export MAPCONV_TEST_RUNNER=qemu-i386
  echo "linux32: the kernel runs no 32-bit code: the tests run under qemu-i386"
fi

# zlib, libpng and GoogleTest for i686 are built by the set-up, into build-linux-i686/deps.
out="$root/build-linux-i686"
prefix="$out/deps"
cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE="$root/cmake/linux-i686.cmake" \
  -DMAPCONV_I686_EMULATOR="${emulator[*]:-}" -DCMAKE_PREFIX_PATH="$prefix" -DMAPCONV_WERROR=ON \
  -DPNG_LIBRARY="$prefix/lib/libpng16.a" -DPNG_PNG_INCLUDE_DIR="$prefix/include" \
  -DZLIB_LIBRARY="$prefix/lib/libz.a" -DZLIB_INCLUDE_DIR="$prefix/include" >/dev/null
cmake --build "$out" --target mapconv mapconv_tests make_sample_map

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target mapconv make_sample_map
WINE="${emulator[*]:-env}" bash scripts/compare-windows.sh build/mapconv "$out/mapconv" build/make_sample_map |
  sed 's/^windows: /linux32: /'
ctest --test-dir "$out" -j 2 --timeout 300 --output-on-failure | tail -n 25
