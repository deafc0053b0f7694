#!/usr/bin/env bash
# Checks that every C++ file of the project is laid out as .clang-format says, and that no function
# of src/ runs past 60 lines. Skips (exit 77) where Debian 12's clang-format 14 is missing, since
# other versions lay some lines out otherwise.
#
# usage: scripts/check-format.sh [SOURCE_DIR]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"
tool=$(command -v clang-format-14 || command -v clang-format || true)
if [ -z "$tool" ] || ! "$tool" --version | grep -q 'version 14\.'; then
  [ -n "${CI:-}" ] && { echo "format: clang-format 14 is missing"; exit 1; }
  echo "format: skipped, clang-format 14 is not installed"
  exit 77
fi
files=$(git ls-files '*.cpp' '*.h' 2>/dev/null || find src tests bench fuzz support examples -name '*.cpp' -o -name '*.h')
"$tool" --dry-run -Werror $files
echo "format: $(echo "$files" | wc -w) files laid out as .clang-format says"

# A definition's braces stand alone at the start of a line; its signature begins after the last
# blank line, comment, preprocessor line or statement before it.
long=$(awk -v limit=60 '
  FNR == 1 { inside = 0; boundary = 1 }
  !inside && /^\{$/ { inside = 1; next }
  inside && /^\}/ { n = FNR - start + 1; if (n > limit) printf "%s:%d: a function of %d lines\n", FILENAME, start, n
                     inside = 0; boundary = 1; next }
  inside { next }
  /^[ \t]*$/ || /^[ \t]*\/\// || /;[ \t]*$/ || /^\}/ || /\{[ \t]*$/ || /^#/ { boundary = 1; next }
  boundary { start = FNR; boundary = 0 }' $(echo "$files" | tr ' ' '\n' | grep '^src/'))
[ -z "$long" ] || { echo "$long"; echo "format: functions of src/ longer than 60 lines"; exit 1; }
echo "format: no function of src/ longer than 60 lines"
