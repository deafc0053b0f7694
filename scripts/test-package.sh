#!/usr/bin/env bash
# Builds the .deb with cpack, unpacks it into a scratch root (dpkg-deb -x) and runs the unpacked
# mapconv on the sample map. Checks the computed library dependencies and the files installed.
#
# usage: scripts/test-package.sh BUILD_DIR MAKE_SAMPLE_MAP
set -euo pipefail
build=$1
make_sample=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work/package" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/package/*.deb)
echo "package: $(basename "$deb")"
depends=$(dpkg-deb -f "$deb" Depends)
echo "depends: $depends"
# dpkg-shlibdeps found the libraries the program links.
for library in libc6 libpng16-16 libstdc++6; do
  grep -q "$library" <<<"$depends" || { echo "Depends lacks $library"; exit 1; }
done

dpkg-deb -x "$deb" "$work/root"
for file in usr/bin/mapconv usr/share/man/man1/mapconv.1.gz usr/share/doc/mapconv/README.md \
            usr/share/doc/mapconv/copyright usr/share/doc/mapconv/changelog.gz usr/share/doc/mapconv/CHANGELOG.md \
            usr/share/doc/mapconv/docs/editing.md usr/share/doc/mapconv/docs/sample-preview.png \
            usr/share/mapconv/io_map_mesh.zip; do
  [ -f "$work/root/$file" ] || { echo "the package lacks $file"; exit 1; }
done
# What a Debian user expects of a package: lintian finds nothing to say (where it is installed).
if command -v lintian >/dev/null; then
  lintian --fail-on error,warning "$deb" || { echo "lintian has something to say about the .deb"; exit 1; }
  echo "lintian: nothing to say"
elif [ -n "${CI:-}" ]; then
  echo "lintian is missing"; exit 1
fi

mkdir "$work/sample"
"$make_sample" "$work/sample"
(cd "$work/sample" && "$work/root/usr/bin/mapconv" --glb map01 >"$work/out.txt")
for file in map01.tex_tex_0.png map01.msh_map01.tex.obj map01.msh_map01.tex.mtl map01.msh_map01.tex.glb; do
  [ -s "$work/sample/$file" ] || { echo "the unpacked mapconv did not write $file"; exit 1; }
done
echo "the unpacked mapconv converted the sample: $(head -1 "$work/out.txt")"
