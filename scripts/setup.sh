#!/usr/bin/env bash
# Installs the Debian packages a task needs, when they are missing; safe to run again.
#
# usage: scripts/setup.sh [build] [tests] [sanitize]
#   build     compile and run mapconv (the default)
#   tests     also the test suite: GoogleTest, tinyobjloader, dpkg-dev for the package test, and
#             Node.js with the Khronos glTF validator (npm, pinned in tools/gltf-validator)
#   sanitize  also clang and its sanitizer and libFuzzer runtime
set -euo pipefail
cd "$(dirname "$0")/.."

tasks=("$@")
[ ${#tasks[@]} -gt 0 ] || tasks=(build)

packages=(
  cmake ninja-build g++ pkg-config      # build
  libpng-dev zlib1g-dev                 # PNG output
  libtinygltf-dev nlohmann-json3-dev    # glTF output: tinygltf as a header, and the JSON it uses
)
wants_tests=0
for task in "${tasks[@]}"; do
  case "$task" in
    build) ;;
    tests)
      wants_tests=1
      packages+=(libgtest-dev libtinyobjloader-dev dpkg-dev file clang-format) ;;
    sanitize)
      packages+=(clang libclang-rt-14-dev) ;;
    *) echo "setup: unknown task $task (build, tests or sanitize)" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ $wants_tests -eq 1 ]; then
  # Node.js runs the Khronos glTF validator in the tests; any node with npm will do.
  command -v node >/dev/null || missing+=(nodejs)
  command -v npm >/dev/null || missing+=(npm)
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The glTF validator, into the project's own folder, at the version package.json pins.
if [ $wants_tests -eq 1 ] && [ ! -f tools/gltf-validator/node_modules/gltf-validator/package.json ]; then
  echo "setup: installing the glTF validator into tools/gltf-validator"
  (cd tools/gltf-validator && npm install --no-audit --no-fund --no-package-lock --loglevel=error)
fi
