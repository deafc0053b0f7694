#!/usr/bin/env bash
# Installs the Debian packages that building, testing, benchmarking and fuzzing need, when they
# are missing. Safe to run again; does nothing when everything is there.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build g++ pkg-config      # build
  libpng-dev zlib1g-dev                 # PNG output
  libtinygltf-dev nlohmann-json3-dev    # glTF output: tinygltf as a header, and the JSON it uses
  libgtest-dev                          # tests
  libtinyobjloader-dev                  # tests: load our OBJ files as importers do
  clang libclang-rt-14-dev              # fuzzing and the sanitizer build
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# Node.js runs the Khronos glTF validator in the tests; any node with npm will do.
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The glTF validator, into the project's own folder, at the version package.json pins.
if [ ! -f tools/gltf-validator/node_modules/gltf-validator/package.json ]; then
  echo "setup: installing the glTF validator into tools/gltf-validator"
  (cd tools/gltf-validator && npm install --no-audit --no-fund --no-package-lock --loglevel=error)
fi
