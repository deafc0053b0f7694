#!/usr/bin/env bash
# Installs the Debian packages a task needs, when they are missing; safe to run again.
#
# usage: scripts/setup.sh [build] [tests] [sanitize]
#   build     compile and run mapconv (the default)
#   tests     also the test suite: GoogleTest, dpkg-dev, file and lintian for the
#             package test, clang-format for the layout test, Chromium, and Node.js with the Khronos
#             glTF validator and playwright-core (npm, pinned in tools/gltf-validator and tools/render;
#             the tests that need them skip where they cannot be installed, except in CI)
#   sanitize  also clang and its sanitizer and libFuzzer runtime
set -euo pipefail
cd "$(dirname "$0")/.."

tasks=("$@")
[ ${#tasks[@]} -gt 0 ] || tasks=(build)

packages=(
  cmake ninja-build g++ pkg-config      # build
  libpng-dev zlib1g-dev                 # PNG output
  libtinygltf-dev nlohmann-json3-dev    # glTF output: tinygltf as a header, and the JSON it uses
  libtinyobjloader-dev                  # --write-back reads OBJ files: tinyobjloader as a header
)
wants_tests=0
for task in "${tasks[@]}"; do
  case "$task" in
    build) ;;
    tests)
      wants_tests=1
      packages+=(libgtest-dev dpkg-dev file lintian clang-format chromium) ;;
    sanitize)
      packages+=(clang libclang-rt-14-dev) ;;
    *) echo "setup: unknown task $task (build, tests or sanitize)" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
apt_install() {
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "$@"
}
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt_install "${missing[@]}"
fi

# The Khronos glTF validator runs on Node.js in one test. It is the only thing fetched from the npm
# registry, with npm; where that fails (no network, a proxy), the test skips and says why, except
# in CI, where it must run.
validator_failed() {
  [ -z "${CI:-}" ] || { echo "setup: $1" >&2; exit 1; }
  echo "setup: $1; the test that needs it will skip" >&2
}
if [ $wants_tests -eq 1 ] && [ ! -f tools/gltf-validator/node_modules/gltf-validator/package.json ]; then
  node_missing=()
  command -v node >/dev/null || node_missing+=(nodejs)
  command -v npm >/dev/null || node_missing+=(npm)
  if [ ${#node_missing[@]} -gt 0 ] && ! apt_install "${node_missing[@]}"; then
    validator_failed "Node.js and npm could not be installed"
  elif ! (cd tools/gltf-validator && npm install --no-audit --no-fund --no-package-lock --loglevel=error); then
    validator_failed "the glTF validator could not be installed with npm"
  fi
fi
# playwright-core drives Debian's Chromium in the test that opens a run's index page (and in
# tools/render); where npm fails, that test skips and says why, except in CI.
if [ $wants_tests -eq 1 ] && [ ! -f tools/render/node_modules/playwright-core/package.json ] && command -v npm >/dev/null; then
  (cd tools/render && npm install --no-audit --no-fund --no-package-lock --loglevel=error) ||
    validator_failed "playwright-core could not be installed with npm"
fi
