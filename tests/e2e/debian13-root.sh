#!/usr/bin/env bash
# Makes (or reuses) a root of Debian 13 for the end-to-end sandboxes, and
# prints its path. The sandboxes lay their overlay on it instead of on this
# machine's root (SANDBOX_ROOT), so the program built here is tried against
# Debian 13's own systemd, init scripts and daemons.
#
#   root=$(tests/e2e/debian13-root.sh) || exit 77
#   SANDBOX_ROOT=$root tests/e2e/systemd-sandbox.sh /bin/systemctl --version
#
# The root is made by debootstrap (Debian 12's package, unpacked under the
# build directory, never installed) from the archive this machine's apt uses,
# then given the catalogue's daemons with apt inside it, behind a policy-rc.d
# that keeps every one of them from starting. It is kept under
# BUILD_DIR/e2e-debian13 (DEBIAN13_CACHE to change) and made again when it is
# missing, unfinished, or was made for another list of packages. All of it
# runs in a mount and pid namespace of its own: nothing outside the cache
# directory changes. The network is used only to reach the archive.
#
# Exit status: 0 with the root's path on standard output; 77 with the reason
# on standard error when it cannot be made here (no root, no archive).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
build=$(cd "${BUILD_DIR:-$repo/build}" 2>/dev/null && pwd) || build=${BUILD_DIR:-$repo/build}
cache=${DEBIAN13_CACHE:-$build/e2e-debian13}
SUITE=trixie
KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg

skip() { echo "debian13-root: skipped: $*" >&2; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root"
command -v unshare >/dev/null || skip "unshare is not installed"
[ -f "$KEYRING" ] || skip "no Debian archive keyring at $KEYRING"

# The daemons of the catalogue and of the checks, as Debian 13 names them.
# (The name servers that all want port 53 are here all the same: only
# their running conflicts, and the checks start them one group at a time.)
PACKAGES=(
    systemd systemd-sysv dbus procps iproute2 python3 openssl ca-certificates jq cmake
    cron openssh-server openssh-client nscd rsyslog logrotate python3-prometheus-client
    apache2 exim4-daemon-light bind9 dovecot-imapd dovecot-pop3d dovecot-lmtpd proftpd-core
    mariadb-server postgresql
    nsd pdns-server pdns-backend-bind php8.4-fpm p0f spamd clamav-daemon
)
# Packages that conflict with those above (the second FTP server): only
# downloaded, into the root's /var/cache/e2e-debs, which a sandbox installs
# them from (lib/debs.sh).
KEPT_DEBS=(pure-ftpd)

# The archive this machine's apt reads Debian from.
mirror() {
    local uri
    uri=$(grep -h -o -E '(https?)://[^ ]+/debian/?( |$)' /etc/apt/sources.list \
        /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
        grep -v -- '-security' | head -n 1 | tr -d ' ')
    echo "${uri:-http://deb.debian.org/debian}"
}

stamp="$SUITE ${PACKAGES[*]} / ${KEPT_DEBS[*]}"
root=$cache/root
if [ -f "$cache/complete" ] && [ "$(cat "$cache/complete")" = "$stamp" ] && [ -x "$root/lib/systemd/systemd" ]; then
    echo "$root"
    exit 0
fi

archive=$(mirror)
curl -fsS -o /dev/null --max-time 30 "$archive/dists/$SUITE/InRelease" ||
    skip "the archive $archive does not answer for $SUITE"

# debootstrap itself: Debian 12's package, downloaded and unpacked here.
. "$here/lib/debs.sh"
download_debs debootstrap || skip "debootstrap could not be downloaded"
tool=$cache/debootstrap
rm -rf "$tool" && mkdir -p "$tool"
deb=$(ls "$(debs_dir_for debootstrap)"/debootstrap_*.deb 2>/dev/null | head -n 1)
if [ -n "$deb" ]; then
    dpkg-deb -x "$deb" "$tool"
else
    # Installed on this machine already: its files are read, not run from there.
    mkdir -p "$tool/usr/sbin" "$tool/usr/share"
    cp /usr/sbin/debootstrap "$tool/usr/sbin/" && cp -a /usr/share/debootstrap "$tool/usr/share/"
fi

echo "debian13-root: making a Debian 13 root from $archive in $root (a few minutes)" >&2
rm -rf "$root" "$cache/complete"
mkdir -p "$root"
log=$cache/make.log
status=0
unshare --mount --pid --fork --kill-child bash -s -- "$tool" "$root" "$archive" "$SUITE" "$KEYRING" \
    "${KEPT_DEBS[*]}" "${PACKAGES[@]}" <<'MAKE' >"$log" 2>&1 || status=$?
set -eu
tool=$1 root=$2 archive=$3 suite=$4 keyring=$5 kept=$6
shift 6
mount --make-rprivate /
export DEBOOTSTRAP_DIR=$tool/usr/share/debootstrap DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8
"$tool/usr/sbin/debootstrap" --variant=minbase --keyring="$keyring" "$suite" "$root" "$archive"
# Nothing the packages install may start, in the root or anywhere else.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
cp /etc/resolv.conf "$root/etc/resolv.conf"
chroot "$root" apt-get update -qq
chroot "$root" apt-get install -y -qq --no-install-recommends \
    -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold "$@"
chroot "$root" apt-get clean
mkdir -p "$root/var/cache/e2e-debs/partial"
# shellcheck disable=SC2086
chroot "$root" apt-get install -y -qq --no-install-recommends --download-only \
    -o Dir::Cache::archives=/var/cache/e2e-debs $kept
rm -f "$root/usr/sbin/policy-rc.d" "$root/etc/resolv.conf"
umount -R "$root/dev" "$root/proc"
MAKE
if [ "$status" -ne 0 ]; then
    tail -n 30 "$log" >&2
    echo "debian13-root: the root could not be made (log: $log)" >&2
    exit 1
fi
echo "$stamp" >"$cache/complete"
echo "$root"
