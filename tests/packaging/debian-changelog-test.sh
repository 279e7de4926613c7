#!/bin/sh
# packaging/debian-changelog.sh against changelogs made here: what Debian's
# parser reads from its output, and the changelogs it must refuse.
#
#   sh tests/packaging/debian-changelog-test.sh packaging/debian-changelog.sh
set -eu
convert=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Two releases, with an item over several lines, one longer than a line, a
# plain paragraph and Markdown marks.
cat >"$work/two.md" <<'EOF'
# Changelog

Introductory text that is no entry.

## 1.2.0 — 2027-03-01

- Restarts `cron` **faster**,
  over two lines.
- An item long enough that it has to be wrapped onto more than one line of the changelog, twice over: it goes on and on.

A plain paragraph.

## 1.1.0 - 2026-12-31

- The first.
EOF
sh "$convert" "$work/two.md" 1.2.0 "Some One <some@example.org>" "$work/two.gz"
gzip -dc "$work/two.gz" >"$work/two"
parsed=$(dpkg-parsechangelog -l "$work/two" --all --format rfc822 | sed -n 's/^Version: //p' | tr '\n' ' ')
[ "$parsed" = "1.2.0 1.1.0 " ] || fail "entries $parsed, not 1.2.0 then 1.1.0"
[ "$(dpkg-parsechangelog -l "$work/two" -S Date)" = "Mon, 01 Mar 2027 00:00:00 +0000" ] ||
    fail "the newest date is $(dpkg-parsechangelog -l "$work/two" -S Date)"
[ "$(dpkg-parsechangelog -l "$work/two" -S Maintainer)" = "Some One <some@example.org>" ] ||
    fail "signed by $(dpkg-parsechangelog -l "$work/two" -S Maintainer)"
changes=$(dpkg-parsechangelog -l "$work/two" -S Changes)
[ "$(printf '%s\n' "$changes" | grep -c '^ *\* ')" -eq 3 ] || fail "not three items in: $changes"
printf '%s\n' "$changes" | grep -q '^ *\* Restarts cron faster, over two lines\.$' ||
    fail "the two-line item with its marks dropped is not one line: $changes"
printf '%s\n' "$changes" | grep -q 'Introductory' && fail "the introduction became an entry"
long=$(awk 'length($0) > 80' "$work/two" | grep -v '^ -- ' || true)
[ -z "$long" ] || fail "lines over 80 columns: $long"
# gzip -9n: no file name and no time stamp in the header (bytes 4 to 8).
[ "$(od -An -tx1 -j3 -N5 "$work/two.gz" | tr -d ' ')" = 0000000000 ] ||
    fail "the gzip header keeps a name or a time: $(od -An -tx1 -N10 "$work/two.gz")"

# Refused, leaving no file: a newest entry for another version than the
# build's, a heading without a date, an impossible date.
refuse() {
    printf '%s\n' "$2" >"$work/bad.md"
    if sh "$convert" "$work/bad.md" 1.2.0 "Some One <some@example.org>" "$work/bad.gz" 2>/dev/null; then
        fail "accepted $1"
    fi
    [ ! -e "$work/bad.gz" ] || fail "left a changelog for $1"
    rm -f "$work/bad.gz"
}
refuse "a newest entry for 1.1.0" "## 1.1.0 — 2026-12-31

- x"
refuse "an older entry for the version" "## 1.1.0 — 2027-01-01

- x

## 1.2.0 — 2026-12-31

- y"
refuse "a heading without a date" "## 1.2.0

- x"
refuse "February the 30th" "## 1.2.0 — 2027-02-30

- x"
refuse "no heading" "- x"

[ "$failures" -eq 0 ] || exit 1
echo "debian-changelog: all cases pass"
