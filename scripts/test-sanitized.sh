#!/usr/bin/env bash
# Builds mapconv and every test with AddressSanitizer (leak checking on) and
# UndefinedBehaviorSanitizer, and runs the tests: any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh tests sanitize
cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMAPCONV_SANITIZE=ON -DMAPCONV_WERROR=ON >/dev/null
cmake --build build-sanitize
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-sanitize --output-on-failure -j 2
