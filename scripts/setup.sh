#!/usr/bin/env bash
# Installs the Debian packages that building, testing, benchmarking and fuzzing need, when they
# are missing. Safe to run again; does nothing when everything is there.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config      # build
  libpng-dev zlib1g-dev                 # PNG output
  libgtest-dev                          # tests
  libtinyobjloader-dev                  # tests: load our OBJ files as importers do
  clang libclang-rt-14-dev              # fuzzing and the sanitizer build
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
