#!/usr/bin/env bash
# Sets up, builds mapconv and runs it on the bundled sample map in a scratch folder.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build
# The tests share this build folder; a first configuration here leaves them out, since their
# libraries need not be installed to convert the sample.
testing=()
[ -f build/CMakeCache.txt ] || testing=(-DBUILD_TESTING=OFF)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMAPCONV_WERROR=ON "${testing[@]}" >/dev/null
cmake --build build --target mapconv make_sample_map
rm -rf build/sample
mkdir -p build/sample
build/make_sample_map build/sample
(cd build/sample && ../mapconv map01)
echo
echo "The outputs are in $(pwd)/build/sample:"
ls -l build/sample
