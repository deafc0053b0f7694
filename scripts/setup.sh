#!/usr/bin/env bash
# The one installer: what each build of mapconv needs, installed when missing (Debian 12, as root or
# with sudo); safe to run again. apt's and npm's own progress goes to a log file; the terminal gets a
# line a stage, and the log's path when a stage fails.
#
# usage: scripts/setup.sh [TASK...]       (build when none is given)
#   build     compile and run mapconv
#   tests     also the test suite: GoogleTest, dpkg-dev, file and lintian for the package test,
#             clang-format for the layout test, Chromium, and Node.js with the Khronos glTF validator
#             and playwright-core (npm, pinned in tools/gltf-validator and tools/render; the tests
#             that need them skip where they cannot be installed, except in CI)
#   sanitize  also clang and its sanitizer and libFuzzer runtime
#   render    Chromium, Node.js, playwright-core and three.js, for tools/render/render.sh
#   linux32   the tests, Debian's i686 compiler and qemu-user; zlib and libpng (from Debian's
#             source) and GoogleTest built for 32-bit Linux into build-linux-i686/deps
#   windows   MinGW-w64, Wine (32-bit too, where dpkg's i386 packages can be had) and GoogleTest's
#             source; libpng (from Debian's source) and GoogleTest built for both Windows
#             architectures into build-windows-ARCH/deps
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

tasks=("$@")
[ ${#tasks[@]} -gt 0 ] || tasks=(build)
log=${MAPCONV_SETUP_LOG:-$root/build/setup.log}
mkdir -p "$(dirname "$log")"

# Runs a command with its output in the log; on failure says so with the log's path and its end.
logged() {
  echo "== $(date '+%F %T') $*" >>"$log"
  if ! "$@" >>"$log" 2>&1; then
    echo "setup: failed: $*" >&2
    echo "setup: the last lines of $log:" >&2
    tail -n 15 "$log" | sed 's/^/  /' >&2
    return 1
  fi
}

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
updated=0
apt_install() {
  # A mirror caught mid-sync fails an update now and then: try again, and else install from the
  # package lists there are (the install says what it cannot find).
  local try
  if [ ${#sudo_cmd[@]} -gt 0 ] && ! command -v sudo >/dev/null; then
    echo "setup: missing: $*" >&2
    echo "setup: installing them needs root, and there is no sudo: run this command as root (su -)" >&2
    exit 1
  fi
  for try in 1 2 3; do
    [ $updated -eq 0 ] || break
    echo "== $(date '+%F %T') apt-get update" >>"$log"
    if "${sudo_cmd[@]}" apt-get update >>"$log" 2>&1; then
      updated=1
    elif [ $try -lt 3 ]; then
      sleep 10
    else
      echo "setup: apt-get update failed (see $log); installing from the package lists there are" >&2
      updated=1
    fi
  done
  logged "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@"
}
is_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

packages=(
  cmake ninja-build g++ pkg-config      # build
  libpng-dev zlib1g-dev                 # PNG output
  libtinygltf-dev nlohmann-json3-dev    # glTF: nlohmann's JSON reads edited .glb files; the tests read with tinygltf
)
# GoogleTest, tinyobjloader (the tests load OBJ files as importers do), the package test's tools,
# clang-format for the layout test, Chromium for the index page and three.js, assimp and ImageMagick
# as editors, Blender (with numpy, which its glTF add-on needs) and pylint for the Blender add-on.
test_packages=(libgtest-dev libtinyobjloader-dev dpkg-dev file lintian clang-format chromium firefox-esr assimp-utils
  imagemagick blender python3-numpy pylint)
wants_tests=0 wants_render=0 wants_linux32=0 wants_windows=0
for task in "${tasks[@]}"; do
  case "$task" in
    build) ;;
    tests) wants_tests=1; packages+=("${test_packages[@]}") ;;
    sanitize) packages+=(clang libclang-rt-14-dev) ;;
    render) wants_render=1; packages+=(chromium) ;;
    linux32)
      wants_tests=1 wants_linux32=1
      packages+=("${test_packages[@]}" g++-i686-linux-gnu qemu-user) ;;
    windows)
      wants_windows=1
      packages+=(libgtest-dev libtinyobjloader-dev dpkg-dev g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
                 libz-mingw-w64-dev wine64 wine) ;;
    *) echo "setup: unknown task $task (build, tests, sanitize, render, linux32 or windows)" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  is_installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${#missing[@]} Debian packages (${missing[*]}); progress in $log"
  apt_install "${missing[@]}"
fi
# 32-bit Wine runs the 32-bit .exe. It comes from dpkg's i386 architecture, whose packages must
# match the machine's amd64 ones to the version: where the archive cannot give them (a mirror
# caught mid-sync), the 32-bit .exe is built and packed, not run, and the 32-bit code is still
# tested by the 32-bit Linux build, which needs no i386 package.
if [ $wants_windows -eq 1 ] && ! is_installed wine32:i386; then
  if ! dpkg --print-foreign-architectures | grep -q i386; then
    echo "setup: adding the i386 architecture to dpkg, for 32-bit Wine"
    logged "${sudo_cmd[@]}" dpkg --add-architecture i386
    updated=0
  fi
  echo "setup: installing wine32:i386; progress in $log"
  apt_install wine32:i386 ||
    echo "setup: 32-bit Wine cannot be installed from this archive; the 32-bit .exe will not be run" >&2
fi

# Node.js tools, fetched from the npm registry at the versions package.json pins. Where that fails
# (no network, a proxy), the tests that need them skip and say why, except in CI, where they must run.
npm_failed() {
  [ -z "${CI:-}" ] || { echo "setup: $1" >&2; exit 1; }
  echo "setup: $1; the test that needs it will skip" >&2
}
node_ready() {
  command -v node >/dev/null && command -v npm >/dev/null && return 0
  local node_missing=()
  command -v node >/dev/null || node_missing+=(nodejs)
  command -v npm >/dev/null || node_missing+=(npm)
  echo "setup: installing ${node_missing[*]}"
  apt_install "${node_missing[@]}"
}
npm_tool() {  # folder, the package that proves it installed, what it is for
  [ -f "$1/node_modules/$2/package.json" ] && return 0
  if ! node_ready; then
    npm_failed "Node.js and npm could not be installed"
    return 0
  fi
  echo "setup: installing $2 with npm into $1"
  # Exactly the versions package-lock.json records, each of which must run on this Node.js
  # (--engine-strict refuses a package whose engines field excludes it), with no install script.
  (cd "$1" && logged npm ci --no-audit --no-fund --ignore-scripts --engine-strict) ||
    npm_failed "$3 could not be installed with npm, or does not run on Node.js $(node --version)"
}
if [ $wants_tests -eq 1 ]; then
  npm_tool tools/gltf-validator gltf-validator "the glTF validator"
  npm_tool tools/render playwright-core "playwright-core"
fi
[ $wants_render -eq 0 ] || npm_tool tools/render playwright-core "playwright-core and three.js"

# Libraries the cross builds link statically, built once for each target: GoogleTest from Debian's
# /usr/src/googletest, and zlib (for 32-bit Linux; MinGW has its own) and libpng from Debian's
# source, fetched through a source list of our own that the machine's apt configuration never
# sees: the archive the machine already uses, for its deb-src entry.
cross_gtest() {  # toolchain file, output folder
  local prefix="$2/deps"
  [ -f "$prefix/lib/libgtest.a" ] && return 0
  echo "setup: building GoogleTest for $(basename "$1" .cmake)"
  logged cmake -S /usr/src/googletest -B "$2/googletest" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$1" -DCMAKE_INSTALL_PREFIX="$prefix"
  logged cmake --build "$2/googletest" --target install
}
debian_source() {  # package, folder name under build-sources
  [ -d "build-sources/$2" ] && return 0
  echo "setup: fetching the Debian source of $1"
  mkdir -p build-sources
  local archive lists="$root/build-sources/apt"
  archive=$(grep -h '^URIs:' /etc/apt/sources.list.d/debian.sources 2>/dev/null | awk 'NR == 1 {print $2}')
  [ -n "$archive" ] || archive=$(grep -h '^deb ' /etc/apt/sources.list 2>/dev/null | awk 'NR == 1 {print $2}')
  mkdir -p "$lists/lists/partial"
  echo "deb-src $archive bookworm main" >"$lists/sources.list"
  local own=(-o Dir::Etc::SourceList="$lists/sources.list" -o Dir::Etc::SourceParts=/dev/null
             -o Dir::State::Lists="$lists/lists")
  [ -f "$lists/updated" ] || { logged apt-get "${own[@]}" update && touch "$lists/updated"; }
  (cd build-sources && rm -rf "$1"-*/ && logged apt-get "${own[@]}" source "$1" && mv "$1"-*/ "$2")
}
cross_library() {  # toolchain file, output folder, source folder, the library it installs, cmake options...
  local toolchain=$1 out=$2 source=$3 library=$4
  shift 4
  [ -f "$out/deps/lib/$library" ] && return 0
  echo "setup: building $library for $(basename "$toolchain" .cmake)"
  logged cmake -S "build-sources/$source" -B "$out/$source" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$out/deps" "$@"
  logged cmake --build "$out/$source" --target install
}
# An earlier version of the Windows script added a deb-src entry to the machine's sources for good.
"${sudo_cmd[@]}" rm -f /etc/apt/sources.list.d/mapconv-deb-src.sources
if [ $wants_linux32 -eq 1 ]; then
  out="$root/build-linux-i686"
  toolchain="$root/cmake/linux-i686.cmake"
  cross_gtest "$toolchain" "$out"
  debian_source zlib zlib
  debian_source libpng1.6 libpng
  # zlib builds with its own configure script (Debian's source leaves out what its CMake file needs).
  if [ ! -f "$out/deps/lib/libz.a" ]; then
    echo "setup: building libz.a for linux-i686"
    rm -rf "$out/zlib" && cp -r build-sources/zlib "$out/zlib"
    (cd "$out/zlib" && logged env CC=i686-linux-gnu-gcc CFLAGS="-O2 -msse2 -mfpmath=sse" ./configure --static \
      --prefix="$out/deps" && logged make -j2 install)
  fi
  cross_library "$toolchain" "$out" libpng libpng16.a -DPNG_SHARED=OFF -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF \
    -DPNG_FRAMEWORK=OFF -DZLIB_LIBRARY="$out/deps/lib/libz.a" -DZLIB_INCLUDE_DIR="$out/deps/include"
fi
if [ $wants_windows -eq 1 ]; then
  debian_source libpng1.6 libpng
  for arch in x86_64 i686; do
    out="$root/build-windows-$arch"
    prefix="$out/deps"
    toolchain="$root/cmake/mingw-$arch.cmake"
    # Headers the cross build may use: only these, never the host's /usr/include as a whole.
    mkdir -p "$prefix/include"
    ln -sfn /usr/include/tiny_gltf.h "$prefix/include/tiny_gltf.h"
    ln -sfn /usr/include/nlohmann "$prefix/include/nlohmann"
    ln -sfn /usr/include/tiny_obj_loader.h "$prefix/include/tiny_obj_loader.h"
    cross_gtest "$toolchain" "$out"
    cross_library "$toolchain" "$out" libpng libpng16.a -DPNG_SHARED=OFF -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF \
      -DPNG_FRAMEWORK=OFF -DZLIB_LIBRARY=/usr/$arch-w64-mingw32/lib/libz.a \
      -DZLIB_INCLUDE_DIR=/usr/$arch-w64-mingw32/include
  done
fi
exit 0
