#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 60) from seeds made by
# the test writer. Findings land in build-fuzz/findings/<target>/ and fail the script.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
# Absolute paths: the pair target works inside a scratch folder of its own.
out=$(pwd)/build-fuzz
scripts/setup.sh sanitize
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMAPCONV_FUZZ=ON \
  -DBUILD_TESTING=OFF >/dev/null
cmake --build build-fuzz --target make_fuzz_seeds fuzz_read_map_mesh fuzz_texture fuzz_convert_pair fuzz_write_back \
  fuzz_sheet_write_back replay_read_map_mesh replay_texture replay_convert_pair replay_write_back \
  replay_sheet_write_back
for target in read_map_mesh texture convert_pair write_back sheet_write_back; do
  mkdir -p build-fuzz/corpus/$target build-fuzz/findings/$target
done
build-fuzz/make_fuzz_seeds build-fuzz/corpus
status=0
for target in read_map_mesh texture convert_pair write_back sheet_write_back; do
  max_len=4096
  [ $target = texture ] && max_len=140000
  [ $target = convert_pair ] && max_len=200000
  [ $target = write_back ] && max_len=16384
  [ $target = sheet_write_back ] && max_len=400000
  echo "fuzz: $target for ${seconds}s"
  build-fuzz/fuzz_$target -max_total_time="$seconds" -max_len=$max_len -rss_limit_mb=1024 -print_final_stats=1 \
    -artifact_prefix="$out/findings/$target/" "$out/corpus/$target" 2>build-fuzz/$target.log \
    || status=1
  grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::peak_rss_mb)' build-fuzz/$target.log || true
  grep -E 'cov:' build-fuzz/$target.log | tail -n 1 || true
done
[ $status -eq 0 ] || { echo "fuzz: a target found a fault; see build-fuzz/findings and build-fuzz/*.log"; exit 1; }
echo "fuzz: no findings"
