#!/usr/bin/env bash
# Runs the Linux mapconv and mapconv.exe (under Wine) on the same inputs and compares everything
# they print and write, byte for byte: the sample with each option, a folder of four maps and four
# sheets, a folder with failing pairs, names with non-ASCII letters, and edits written back.
#
# usage: scripts/compare-windows.sh LINUX_MAPCONV WINDOWS_MAPCONV MAKE_SAMPLE_MAP
set -euo pipefail
linux=$(realpath "$1")
windows=$(realpath "$2")
make_sample=$(realpath "$3")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LC_ALL=C.UTF-8 WINEDEBUG=-all
failed=0
cases=0

# Writes the inputs of one case into the folder $1.
inputs_sample() { "$make_sample" "$1"; }
inputs_failing() {
  "$make_sample" "$1"
  head -c 1000 "$1/map01.tex" >"$1/map01.short"
  head -c 300 "$1/map01.msh" >"$1/map01.cut"
  printf 'not a mesh' >"$1/map01.txt"
}
inputs_names() {
  "$make_sample" "$1"
  mv "$1/map01.msh" "$1/mé 東京.msh"
  mv "$1/map01.tex" "$1/mé 東京.tex"
}

# The sample converted by the Linux build, an edit of its OBJ (a corner moved, a face given another
# palette) and an edit that must be refused (a corner past 16 bits).
inputs_edited() {
  "$make_sample" "$1"
  (cd "$1" && "$linux" -q --glb --all-palettes map01)
  sed -e '3s/.*/v -16.000000 1.500000 -16.000000/' -e '/^usemtl palette_0$/{s//usemtl palette_5/;n;a usemtl palette_0' \
    -e '}' "$1/map01.msh_map01.tex.obj" >"$1/edited.obj"
  sed '3s/.*/v 400.000000 0.000000 0.000000/' "$1/map01.msh_map01.tex.obj" >"$1/refused.obj"
}

# Pictures of the sample's sheet: one through palette 3 saved as if it were palette 0's, so every
# pixel goes back to its nearest colour, and a preview, which is not a sheet's size.
inputs_pictures() {
  "$make_sample" "$1"
  (cd "$1" && "$linux" -q --all-palettes --preview map01 && cp map01.tex_tex_3.png edit_tex_0.png)
}

compare() {
  local name=$1 make=$2
  shift 2
  cases=$((cases + 1))
  mkdir -p "$work/$name/linux" "$work/$name/windows"
  $make "$work/$name/linux"
  $make "$work/$name/windows"
  local linux_status=0 windows_status=0
  (cd "$work/$name/linux" && "$linux" "$@" >../linux.out 2>../linux.err) || linux_status=$?
  (cd "$work/$name/windows" && "${WINE:-/usr/lib/wine/wine64}" "$windows" "$@" >../windows.out 2>../windows.err) || windows_status=$?
  local same=1
  [ "$linux_status" = "$windows_status" ] || { echo "  status $linux_status vs $windows_status"; same=0; }
  # Pairs come in the order each system lists the folder (ext4 by hash, Windows by name): with
  # several, the lines are compared as sets; a single pair's lines must match to the byte.
  local view=cat
  [ "$name" = failing-pairs ] && view=sort
  cmp -s <($view "$work/$name/linux.out") <($view "$work/$name/windows.out") || { echo "  standard output differs"; same=0; }
  cmp -s <($view "$work/$name/linux.err") <($view "$work/$name/windows.err") || { echo "  standard error differs"; same=0; }
  diff -r "$work/$name/linux" "$work/$name/windows" >/dev/null || { echo "  files differ"; same=0; }
  if [ $same -eq 1 ]; then
    echo "same: $name ($(ls "$work/$name/linux" | wc -l) files, status $linux_status)"
  else
    echo "DIFFERENT: $name ($*)"
    diff -u "$work/$name/linux.out" "$work/$name/windows.out" | head -10 || true
    diff -u "$work/$name/linux.err" "$work/$name/windows.err" | head -10 || true
    diff -r "$work/$name/linux" "$work/$name/windows" | head -10 || true
    failed=1
  fi
}

compare sample inputs_sample map01
compare all-palettes inputs_sample --all-palettes map01
compare glb inputs_sample --glb map01
compare all-palettes-glb inputs_sample --all-palettes --glb map01
compare one-job-glb inputs_sample -j 1 --glb map01
compare quiet-output-folder inputs_sample -q -o out map01
compare failing-pairs inputs_failing --glb map01
compare names inputs_names --glb --all-palettes "mé"
compare preview inputs_sample --preview --glb map01
compare preview-small-face-up inputs_sample --preview-size 100 --face-up map01
compare write-back-obj inputs_edited --write-back map01.msh edited.obj new.msh
compare write-back-glb inputs_edited --write-back map01.msh map01.msh_map01.tex.glb new.msh
compare write-back-refused inputs_edited --write-back map01.msh refused.obj new.msh
compare sheet-write-back inputs_pictures --write-back map01.tex edit_tex_0.png new.tex --mesh map01.msh
compare sheet-write-back-refused inputs_pictures --palette 0 --write-back map01.tex map01.msh_map01.tex_top.png \
  new.tex --mesh map01.msh
[ $failed -eq 0 ] && echo "windows: $cases cases, all the same as the Linux build"
exit $failed
