#!/usr/bin/env bash
# Checks that every relative link and picture of the README and the pages under docs/ leads to a
# file of the tree, and that the README links every page.
#
# usage: scripts/check-links.sh [SOURCE_DIR]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"
status=0
for page in README.md docs/*.md; do
  folder=$(dirname "$page")
  # ](target) or ](target#anchor), leaving out web addresses
  while IFS= read -r target; do
    path=${target%%#*}
    [ -n "$path" ] || continue
    [ -e "$folder/$path" ] || { echo "links: $page: $target leads nowhere"; status=1; }
  done < <(grep -o '](\([^)]*\))' "$page" | sed 's/^](\(.*\))$/\1/' | grep -v -E '^[a-z]+:')
done
for page in docs/*.md; do
  grep -q "]($page)" README.md || { echo "links: README.md does not link $page"; status=1; }
done
[ $status -eq 0 ] && echo "links: every link of the README and docs/ leads to a file"
exit $status
