#!/usr/bin/env bash
# Checks that the man page cannot drift from the program: it names every option that --help
# names and no other, and carries the version --version prints.
#
# usage: scripts/check-man-page.sh MAPCONV MAN_PAGE
set -euo pipefail
exe=$1
page=$2
status=0

# Options in --help: the words beginning with - on the option lines (two blanks, then -).
help_options=$("$exe" --help | grep -E '^  -' | grep -oE '(^| )--?[A-Za-z][A-Za-z-]*' | tr -d ' ' | sort -u)
# Options in the man page: those on the line after each .TP of the OPTIONS section.
page_options=$(awk '/^\.SH OPTIONS/ {on = 1; next} /^\.SH/ {on = 0} on && tp {print; tp = 0} on && /^\.TP/ {tp = 1}' "$page" |
  sed 's/\\-/-/g; s/\\f[BIR]//g' | grep -oE '(^| )--?[A-Za-z][A-Za-z-]*' | tr -d ' ' | sort -u)

missing=$(comm -23 <(echo "$help_options") <(echo "$page_options"))
extra=$(comm -13 <(echo "$help_options") <(echo "$page_options"))
[ -z "$missing" ] || { echo "man page lacks: $missing"; status=1; }
[ -z "$extra" ] || { echo "man page names options --help does not: $extra"; status=1; }

version=$("$exe" --version)
grep -q "^\.TH MAPCONV 1 [0-9-]* \"$version\"" "$page" || { echo "man page is not for $version"; status=1; }
[ $status -eq 0 ] && echo "man page: $(echo "$help_options" | wc -l) options, $version"
exit $status
