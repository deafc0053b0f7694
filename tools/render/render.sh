#!/usr/bin/env bash
# Converts the bundled sample and draws its .glb and its OBJ with three.js in headless Chromium,
# from an oblique camera above, into docs/sample-render-glb.png and docs/sample-render-obj.png;
# with Blender installed, also the sample edited in Blender and written back
# (docs/edited-render-glb.png).
# Installs Debian's chromium, and three.js and playwright-core (npm, at the versions package.json
# pins), when missing (scripts/setup.sh render). Not part of the tests or CI.
#
# usage: tools/render/render.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)

scripts/setup.sh build render

cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target mapconv make_sample_map >/dev/null

# The page and the converted files are served together from one scratch folder.
work=$(mktemp -d)
trap 'kill "${server:-0}" 2>/dev/null || true; rm -rf "$work"' EXIT
ln -s "$root/tools/render/node_modules" "$work/node_modules"
cp tools/render/view.html "$work/"
build/make_sample_map "$work"
(cd "$work" && "$root/build/mapconv" --glb --all-palettes map01 >/dev/null)

port=8765
(cd "$work" && exec python3 -m http.server "$port" --bind 127.0.0.1 >/dev/null 2>&1) &
server=$!
sleep 1

# The same map written clockwise, as some generators write them: its OBJ as it is, and with
# --face-up.
mkdir "$work/cw" "$work/up"
build/make_sample_map "$work/cw" --clockwise
cp "$work/cw/map01.msh" "$work/cw/map01.tex" "$work/up/"
(cd "$work/cw" && "$root/build/mapconv" map01 >/dev/null)
(cd "$work/up" && "$root/build/mapconv" --face-up map01 >/dev/null)

# The sample edited in Blender (a hill raised, some faces given palette 5), written back into a
# copy of its mesh and converted again; skipped where Blender is not installed.
edited=()
if command -v blender >/dev/null; then
  mkdir "$work/edited"
  faces=()
  for f in $(seq 0 30); do faces+=(--palette "$f,5"); done
  blender -b --factory-startup -noaudio --python tools/blender/edit_in_blender.py -- glb \
    "$work/map01.msh_map01.tex.glb" "$work/edited/edited.glb" --raise -4,4,9,6 "${faces[@]}" >/dev/null 2>&1
  "$root/build/mapconv" --write-back "$work/map01.msh" "$work/edited/edited.glb" "$work/edited/map01.msh"
  cp "$work/map01.tex" "$work/edited/"
  (cd "$work/edited" && "$root/build/mapconv" -q --glb --all-palettes map01)
  edited=("glb=edited/map01.msh_map01.tex.glb" "$root/docs/edited-render-glb.png")
fi

node tools/render/shoot.js "http://127.0.0.1:$port" \
  "glb=map01.msh_map01.tex.glb" "$root/docs/sample-render-glb.png" \
  "obj=map01.msh_map01.tex.obj&mtl=map01.msh_map01.tex.mtl" "$root/docs/sample-render-obj.png" \
  "obj=cw/map01.msh_map01.tex.obj&mtl=cw/map01.msh_map01.tex.mtl" "$root/docs/clockwise-render-obj.png" \
  "obj=up/map01.msh_map01.tex.obj&mtl=up/map01.msh_map01.tex.mtl" "$root/docs/clockwise-render-obj-face-up.png" \
  "${edited[@]}"
echo "render: docs/sample-render-*.png, docs/clockwise-render-obj*.png and docs/edited-render-glb.png"
