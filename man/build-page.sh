#!/bin/sh
# Writes the manual page with its FILES section made afresh from FILES.md:
# everything between the two marker comments of the page is replaced. Given a
# version, the header's source field (.TH's fourth argument) names it too.
#
#   man/build-page.sh man/zidavoveva.8 man/FILES.md build/man/zidavoveva.8 1.2.3
#   man/build-page.sh man/zidavoveva.8 man/FILES.md man/zidavoveva.8   # refresh
set -eu
page=$1 files=$2 out=$3 version=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
tmp=$out.tmp.$$
trap 'rm -f "$tmp" "$tmp.files"' EXIT
awk -f "$here/files-section.awk" "$files" >"$tmp.files"
grep -q '^\.\\" FILES BEGIN' "$page" || { echo "$page: no FILES BEGIN marker" >&2; exit 1; }
grep -q '^\.\\" FILES END' "$page" || { echo "$page: no FILES END marker" >&2; exit 1; }
awk -v section="$tmp.files" -v version="$version" '
    /^\.TH / && version != "" {
        n = split($0, field, "\"")
        if (n != 7) { print "the .TH line has not four quoted arguments" > "/dev/stderr"; exit 1 }
        sub(/ .*/, "", field[4])
        field[4] = field[4] " " version
        line = field[1]
        for (i = 2; i <= n; i++) line = line "\"" field[i]
        print line
        next
    }
    /^\.\\" FILES BEGIN/ { print; while ((getline line < section) > 0) print line; skip = 1; next }
    /^\.\\" FILES END/ { skip = 0 }
    !skip { print }
' "$page" >"$tmp"
mv "$tmp" "$out"
