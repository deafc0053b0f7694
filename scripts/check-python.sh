#!/usr/bin/env bash
# Checks the Blender add-on's and the tools' Python with pylint (Debian's pylint): errors and
# warnings, as tools/blender/pylintrc says. Exits 77 (a skip) where pylint is missing, but fails in CI.
#
# usage: scripts/check-python.sh [SOURCE_DIR]
set -euo pipefail
source_dir=$(cd "${1:-$(dirname "$0")/..}" && pwd)
if ! command -v pylint >/dev/null; then
  echo "python: needs pylint (apt-get install pylint)"
  [ -n "${CI:-}" ] && exit 1
  exit 77
fi
cd "$source_dir"
pylint --rcfile=tools/blender/pylintrc --score=n tools/blender/io_map_mesh tools/blender/*.py
echo "python: the add-on and tools/blender pass pylint"
