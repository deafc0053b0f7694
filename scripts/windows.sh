#!/usr/bin/env bash
# Cross-builds mapconv.exe for 64- and 32-bit Windows with MinGW-w64, runs the test suite under
# Wine, and checks that each .exe gives, byte for byte, the files, standard output, standard error
# and status of the Linux build, on the sample and on generated maps with every option.
#
# usage: scripts/windows.sh [x86_64] [i686]      (both by default)
# Sets up what is missing first (scripts/setup.sh windows): the MinGW-w64 compilers, Wine (32-bit
# too), and libpng and GoogleTest built as static libraries for each architecture. Outputs:
# build-windows-ARCH/,
# with mapconv.exe and mapconv-VERSION-win64.zip (or -win32.zip: the .exe, README, licence).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(x86_64 i686)

# The compilers, Wine, and libpng and GoogleTest built for each architecture into
# build-windows-ARCH/deps.
scripts/setup.sh build windows

# A fresh Wine prefix of our own, quietly.
mkdir -p "$root/build-windows"
export WINEPREFIX="$root/build-windows/wine"
export WINEDEBUG=-all
[ -d "$WINEPREFIX" ] || wineboot --init >/dev/null 2>&1 || true

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target mapconv make_sample_map

for arch in "${arches[@]}"; do
  out="$root/build-windows-$arch"
  prefix="$out/deps"
  zlib=/usr/$arch-w64-mingw32/lib/libz.a
  # Wine runs a 32-bit program only where the kernel runs 32-bit x86 code; without it, wine
  # would say nothing and exit 0, so the version is what proves a run.
  wine=/usr/lib/wine/wine64
  runs=1
  if [ "$arch" = i686 ]; then
    wine=/usr/lib/wine/wine
    /usr/lib/wine/wine --version >/dev/null 2>&1 || runs=0
  fi
  cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" \
    -DMAPCONV_WINDOWS_PREFIX="$prefix" -DBUILD_TESTING=$([ $runs = 1 ] && echo ON || echo OFF) -DMAPCONV_WERROR=ON \
    -DPNG_LIBRARY="$prefix/lib/libpng16.a" -DPNG_PNG_INCLUDE_DIR="$prefix/include" \
    -DZLIB_LIBRARY="$zlib" -DZLIB_INCLUDE_DIR=/usr/$arch-w64-mingw32/include >/dev/null
  cmake --build "$out"
  (cd "$out" && cpack -G ZIP >/dev/null && echo "windows: $(ls "$out"/mapconv-*.zip)")
  echo "windows: $out/mapconv.exe imports $(x86_64-w64-mingw32-objdump -p "$out/mapconv.exe" | grep 'DLL Name' | awk '{print $3}' | sort | tr '\n' ' ')"
  if [ $runs = 0 ]; then
    echo "windows: $arch: built; not run: 32-bit Wine is missing (see the set-up's message), or this kernel runs no 32-bit x86 programs"
    continue
  fi
  version=$("$wine" "$out/mapconv.exe" --version | tr -d '\r')
  [ "$version" = "$(build/mapconv --version)" ] || { echo "windows: $arch: --version gave '$version'"; exit 1; }
  WINE="$wine" bash scripts/compare-windows.sh build/mapconv "$out/mapconv.exe" build/make_sample_map
  # The test suite under Wine; tests of what Windows does not have skip and say why. Wine's server
  # and services start first, apart from CTest: started by the first test, they would hold its
  # standard error open, and CTest would time that test as the whole suite.
  wineserver -p 2>/dev/null </dev/null >/dev/null || true
  "$wine" cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
  status=0
  # A test whose process Wine loses without a word (seen once in CI: no output after "RUN", not
  # seen again in three whole runs) is run once more; a real failure fails twice.
  ctest --test-dir "$out" -j 2 --timeout 300 --repeat until-pass:2 --output-on-failure >"$out/ctest.log" 2>&1 ||
    status=$?
  wineserver -k 2>/dev/null || true
  tail -n 25 "$out/ctest.log"
  echo "windows: $arch: the slowest tests:"
  grep -E 'Test +#[0-9]+: ' "$out/ctest.log" | awk '{print $(NF-1) "\t" $0}' | sort -rn | sed -n '1,3p' | cut -f2-
  [ $status -eq 0 ] || exit $status
  echo "windows: $arch: skipped tests and why:"
  grep -h -A1 ': Skipped$' "$out/Testing/Temporary/LastTest.log" | grep -v -e ': Skipped$' -e '^--$' | sort | uniq -c
done
