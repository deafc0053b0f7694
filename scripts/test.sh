#!/usr/bin/env bash
# Sets up, builds mapconv with warnings as errors and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh tests
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMAPCONV_WERROR=ON -DBUILD_TESTING=ON >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure -j 2
