#!/bin/sh
# Writes the Debian package's changelog (gzip -9n, as Debian wants it) from
# CHANGELOG.md: each "## VERSION — DATE" heading (DATE as YYYY-MM-DD) becomes
# an entry signed by MAINTAINER at midnight UTC of that date, and each list
# item or plain paragraph under it one "*" line, wrapped to fit 80 columns
# with Markdown's code and emphasis marks dropped. Text before the first
# heading is the file's own introduction and is left out. Fails when the
# newest heading does not name VERSION, the one the build sets.
#
#   packaging/debian-changelog.sh CHANGELOG.md 1.2.3 "Name <address>" build/doc/changelog.gz
set -eu
changelog=$1 version=$2 maintainer=$3 out=$4
package=zidavoveva
tmp=$out.tmp.$$
trap 'rm -f "$tmp" "$tmp.gz"' EXIT

newest=$(sed -n 's/^## \([^ ]*\) .*/\1/p' "$changelog" | head -n 1)
if [ -z "$newest" ]; then
    echo "$changelog: no \"## VERSION — DATE\" heading" >&2
    exit 1
fi
if [ "$newest" != "$version" ]; then
    echo "$changelog: the newest entry is $newest, but the project's version is $version" \
        "(project() in CMakeLists.txt): give $version its entry, or set the version back" >&2
    exit 1
fi

# One line per heading's date, in order, with the date Debian's format wants.
dates=$(sed -n 's/^## [^ ]* [^ ]* \([0-9-]*\)$/\1/p' "$changelog")
stamps=""
for day in $dates; do
    stamp=$(LC_ALL=C date -u -R -d "$day 00:00:00") || {
        echo "$changelog: \"$day\" is not a date (YYYY-MM-DD)" >&2
        exit 1
    }
    stamps="$stamps$stamp
"
done
if [ "$(printf '%s' "$stamps" | grep -c .)" -ne "$(grep -c '^## ' "$changelog")" ]; then
    echo "$changelog: every heading must read \"## VERSION — YYYY-MM-DD\"" >&2
    exit 1
fi

printf '%s' "$stamps" | LC_ALL=C.UTF-8 awk -v package="$package" -v maintainer="$maintainer" '
    NR == FNR { stamp[++stamps] = $0; next }
    function flush(   n, i, words, line) {
        if (text == "")
            return
        gsub(/`|\*\*/, "", text)
        n = split(text, words, " ")
        line = "  *"
        for (i = 1; i <= n; i++) {
            if (length(line) + 1 + length(words[i]) > 78 && line != "  *" && line != "   ") {
                print line
                line = "   "
            }
            line = line " " words[i]
        }
        print line
        text = ""
    }
    function close_entry() {
        flush()
        if (entries)
            printf "\n -- %s  %s\n", maintainer, stamp[entries]
    }
    /^## / {
        close_entry()
        if (entries)
            print ""
        entries++
        printf "%s (%s) unstable; urgency=medium\n\n", package, $2
        next
    }
    !entries { next }
    /^[-*] / { flush(); text = substr($0, 3); next }
    /^[ \t]*$/ { flush(); next }
    { text = text " " $0 }
    END {
        close_entry()
    }
' - "$changelog" >"$tmp"
gzip -9n -c "$tmp" >"$tmp.gz"
mv "$tmp.gz" "$out"
