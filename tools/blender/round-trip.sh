#!/usr/bin/env bash
# Edits the sample map in Blender (headless: Debian's blender and python3-numpy) as a modder would,
# writes each edited OBJ and .glb back with mapconv --write-back, and checks which records
# changed: exactly those of the corners moved, or the one palette given to a face, or (for export
# settings that cannot work) a refusal. Not part of the test suite: Blender is large.
#
# usage: tools/blender/round-trip.sh [BUILD_DIR]   (default: build; mapconv and make_sample_map)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
command -v blender >/dev/null || { echo "round-trip: needs blender and python3-numpy (apt-get install blender python3-numpy)" >&2; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$build/make_sample_map" . >/dev/null
"$build/mapconv" -q --glb --all-palettes map01
base=map01.msh_map01.tex
# Two corners of the sample's terrain (the second also of its skirt), moved up by 0.5.
spots=(-14,0.47,-14 14,0.55,-16)
moves=(--move -14,0.47,-14,0.5 --move 14,0.55,-16,0.5)

failed=0
# case NAME FORMAT WANT OPTIONS EDIT...: WANT is "same", "moved", "palette" or "refused"; OPTIONS are
# mapconv's, beside --write-back (words, or "").
case_() {
  local name=$1 format=$2 want=$3 options=$4
  shift 4
  local edited=edited.$format
  rm -f "$edited" new.msh
  if ! blender -b --factory-startup -noaudio --python "$here/edit_in_blender.py" -- "$format" "$base.$format" \
      "$edited" "$@" >blender.log 2>&1 || [ ! -f "$edited" ]; then
    echo "FAILED  $name: Blender did not export (see its log below)"; tail -5 blender.log; failed=1; return
  fi
  local result
  # shellcheck disable=SC2086
  if ! result=$("$build/mapconv" $options --write-back map01.msh "$edited" new.msh 2>&1); then
    if [ "$want" = refused ]; then echo "ok      $name: refused: ${result%%$'\n'*}"; else
      echo "FAILED  $name: $result"; failed=1; fi
    return
  fi
  local check
  case $want in
    same)
      if cmp -s map01.msh new.msh; then echo "ok      $name: the original, byte for byte"; else
        echo "FAILED  $name: not the original"; python3 "$here/check_records.py" map01.msh new.msh; failed=1; fi
      return ;;
    moved) check=$(python3 "$here/check_records.py" map01.msh new.msh "${spots[@]}") ;;
    palette) check=$(python3 "$here/check_records.py" map01.msh new.msh --textures 1) ;;
    refused) echo "FAILED  $name: written, not refused: $result"; failed=1; return ;;
  esac
  if grep -q 'check: passed' <<<"$check"; then
    echo "ok      $name: $(sed -n 's/^\(position\|normal\|texture\) records changed: \([0-9]*\).*/\2 \1/p' <<<"$check" | paste -sd, -)"
  else
    echo "FAILED  $name:"; echo "$check"; failed=1
  fi
}

echo "round-trip: $(blender --version 2>/dev/null | head -1), the sample with --glb --all-palettes"
case_ "OBJ, unedited, default export" obj same ""
case_ ".glb, unedited, default export" glb same ""
case_ "OBJ, default export, two corners moved" obj moved "" "${moves[@]}"
case_ "OBJ, merged by distance, two corners moved" obj moved "" --merge 1 "${moves[@]}"
case_ "OBJ, triangulated, without normals" obj moved "" "${moves[@]}" \
  --setting export_triangulated_mesh=True --setting export_normals=False
case_ "OBJ, one face given palette 5" obj palette "" --palette 3,5
case_ ".glb, default export, two corners moved" glb moved "" "${moves[@]}"
case_ ".glb, two corners moved, normals kept" glb moved --keep-normals "${moves[@]}"
case_ ".glb, one face given palette 5" glb palette "" --palette 3,5
case_ "OBJ without texture coordinates" obj refused "" "${moves[@]}" --setting export_uv=False
case_ "OBJ with Z up" obj refused "" "${moves[@]}" --setting "forward_axis='Y'" --setting "up_axis='Z'"
case_ ".glb with Z up" glb refused "" "${moves[@]}" --setting export_yup=False

# Maps some generators write: the terrain clockwise (its OBJ as the file has it, imported and
# exported as a .glb), and normals far from their faces (which Blender gives back up to 0.8 degrees
# off): unedited, each comes back byte for byte.
# other_map NAME OPTION FORMAT EXPORT: the sample made with OPTION, converted (the OBJ as the file
# has it), imported as FORMAT and exported as EXPORT by Blender.
other_map() {
  local name=$1 option=$2 format=$3 export=$4
  rm -rf other && mkdir other
  (cd other && "$build/make_sample_map" . "$option" >/dev/null && "$build/mapconv" -q map01 &&
    rm map01.msh_map01.tex.obj && "$build/mapconv" -q --glb --all-palettes map01)
  local edited=other/edited.$export
  blender -b --factory-startup -noaudio --python "$here/edit_in_blender.py" -- "$format" \
    "other/$base.$format" "$edited" --export-as "$export" >blender.log 2>&1 || true
  [ -f "$edited" ] || { echo "FAILED  $name: Blender did not export"; tail -5 blender.log; failed=1; return; }
  if "$build/mapconv" -q --write-back other/map01.msh "$edited" other/new.msh 2>result.txt &&
     cmp -s other/map01.msh other/new.msh; then
    echo "ok      $name: the original, byte for byte"
  else
    echo "FAILED  $name: $(head -1 result.txt)"; failed=1
  fi
}
other_map "clockwise map, OBJ imported and exported as .glb" --clockwise obj glb
other_map "normals far from their faces, OBJ" --askew obj obj
other_map "normals far from their faces, .glb" --askew glb glb
[ $failed -eq 0 ] && echo "round-trip: every case as expected" || { echo "round-trip: a case failed"; exit 1; }
