#!/bin/bash
# Every relative link in the README, the docs and the manual page's source
# folder resolves to a file in the tree: a moved or renamed page must take its
# links along. Links to the web and to anchors within a page are not checked.
set -euo pipefail
root="${1:-$(cd "$(dirname "$0")/.." && pwd)}"
cd "$root"
broken=0
checked=0
for page in README.md docs/*.md; do
  dir="$(dirname "$page")"
  # [text](target) with no scheme; the part before any '#'.
  while IFS= read -r target; do
    target="${target%%#*}"
    [ -n "$target" ] || continue
    checked=$((checked + 1))
    if [ ! -e "$dir/$target" ]; then
      echo "$page: link to '$target' does not resolve"
      broken=$((broken + 1))
    fi
  done < <(grep -oE '\]\([^)[:space:]]+\)' "$page" | sed -E 's/^\]\((.*)\)$/\1/' | grep -vE '^[a-z][a-z0-9+.-]*:' || true)
done
echo "$checked relative links checked, $broken broken"
[ "$checked" -gt 0 ] && [ "$broken" -eq 0 ]
