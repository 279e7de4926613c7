#!/bin/sh
# Writes the manual page with its FILES section made afresh from FILES.md:
# everything between the two marker comments of the page is replaced.
#
#   man/build-page.sh man/zidavoveva.8 man/FILES.md build/man/zidavoveva.8
#   man/build-page.sh man/zidavoveva.8 man/FILES.md man/zidavoveva.8   # refresh
set -eu
page=$1 files=$2 out=$3
here=$(cd "$(dirname "$0")" && pwd)
tmp=$out.tmp.$$
trap 'rm -f "$tmp" "$tmp.files"' EXIT
awk -f "$here/files-section.awk" "$files" >"$tmp.files"
grep -q '^\.\\" FILES BEGIN' "$page" || { echo "$page: no FILES BEGIN marker" >&2; exit 1; }
grep -q '^\.\\" FILES END' "$page" || { echo "$page: no FILES END marker" >&2; exit 1; }
awk -v section="$tmp.files" '
    /^\.\\" FILES BEGIN/ { print; while ((getline line < section) > 0) print line; skip = 1; next }
    /^\.\\" FILES END/ { skip = 0 }
    !skip { print }
' "$page" >"$tmp"
mv "$tmp" "$out"
