#!/usr/bin/env bash
# The Blender add-on's test (a CTest test): Blender, headless, imports the sample through
# File > Import > Map mesh, moves a spot and repaints four pixels, exports through File > Export >
# Map mesh with the repainted sheet (tools/blender/test_addon.py); then checks that exactly the
# records of the corners at that spot and the sheet's bytes of those pixels changed, and that a
# map with a face deleted was refused with mapconv's message and nothing written. Exits 77 (a skip)
# where Blender cannot be had, but fails in CI.
#
# usage: tools/blender/test-addon.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
if ! command -v blender >/dev/null; then
  echo "test-addon: needs blender (apt-get install blender)"
  [ -n "${CI:-}" ] && exit 1
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/make_sample_map" "$work" >/dev/null
cp "$work/map01.msh" "$work/original.msh"
# The add-on runs the mapconv it finds on PATH: this build's.
PATH="$build:$PATH" blender -b --factory-startup -noaudio --python-exit-code 1 --python "$here/test_addon.py" -- \
  "$here" "$work" >"$work/blender.log" 2>&1 && [ -f "$work/addon.txt" ] ||
  { grep -v INFO "$work/blender.log" | tail -20; echo "test-addon: Blender failed"; exit 1; }
cat "$work/addon.txt"
failed=0
python3 "$here/check_records.py" "$work/map01.msh" "$work/map01_edited.msh" -14,0.47,-14 >"$work/records.txt" ||
  { cat "$work/records.txt"; echo "FAILED  records"; failed=1; }
# The four pixels, x 10 to 13 of the picture's row 5: bytes 5 and 6 of the sheet's row 1018.
changed=$(cmp -l "$work/map01.tex" "$work/map01_edited.tex" | awk '{ printf "%d ", $1 - 1 }' || true)
[ "$changed" = "130309 130310 " ] || { echo "FAILED  sheet: bytes changed: $changed"; failed=1; }
grep -q "^refused: .*expected .* terrain faces" "$work/addon.txt" || { echo "FAILED  refusal"; failed=1; }
grep -q "^kept the original: .*is the map it was imported from" "$work/addon.txt" ||
  { echo "FAILED  the original was not kept"; failed=1; }
cmp -s "$work/map01.msh" "$work/original.msh" || { echo "FAILED  the original changed"; failed=1; }
[ ! -e "$work/refused.msh" ] || { echo "FAILED  refused.msh was written"; failed=1; }
[ $failed -eq 0 ] && echo "test-addon: import, edit, export and a refusal through the add-on, as expected"
exit $failed
