#!/usr/bin/env bash
# Runs one command inside a throw-away machine whose first process is not
# systemd, so init scripts run as they do on a SysV host. Nothing on the host
# changes.
#
#   tests/e2e/sysv-sandbox.sh /etc/init.d/cron start
#
# The sandbox: new pid, mount, uts and network namespaces (only a loopback
# device, so daemons may bind their usual ports); an overlay of / whose
# writable layer lives on a tmpfs of the sandbox; proc, /sys and /dev; tmpfs
# on /run and /tmp. The checkout and BUILD_DIR are bound in when they live
# under /tmp. Its first process is zidavoveva_testinit from BUILD_DIR, which
# runs the command, reaps orphaned daemons, and ends everything left when the
# command ends.
#
# Exit status: the command's; 77 when the sandbox cannot be made here (not
# root, no unshare, no build), with the reason on standard error.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
build=$(cd "${BUILD_DIR:-$repo/build}" 2>/dev/null && pwd) || build=${BUILD_DIR:-$repo/build}
init=$build/tests/daemon/zidavoveva_testinit
NAME=tavrel-sysv

skip() { echo "sysv-sandbox: skipped: $*" >&2; exit 77; }
[ "$#" -ge 1 ] || { echo "usage: $0 command [args...]" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || skip "needs root"
command -v unshare >/dev/null || skip "unshare is not installed"
[ -x "$init" ] || skip "$init is not built"

scratch=$(mktemp -d /var/tmp/tavrel-sysv.XXXXXX)
trap 'rmdir "$scratch" 2>/dev/null || true' EXIT

inner=$(cat <<'INNER'
set -eu
scratch=$1 init=$2 name=$3 repo=$4 build=$5
shift 5
mount --make-rprivate /
mount -t tmpfs -o mode=0700 tmpfs "$scratch"
mkdir "$scratch/upper" "$scratch/work" "$scratch/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" "$scratch/root"
root=$scratch/root
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --rbind /dev "$root/dev"
mount -t tmpfs -o mode=0755 tmpfs "$root/run"
mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
mkdir -p "$root/run/lock"
# A checkout or build under /tmp would be hidden by the new /tmp.
for dir in "$repo" "$build"; do
    case "$dir" in
    /tmp/*) mkdir -p "$root$dir" && mount --bind "$dir" "$root$dir" ;;
    esac
done
hostname "$name"
ip link set lo up 2>/dev/null || true
mkdir -p "$root/oldroot"
cd "$root"
pivot_root . oldroot
umount -l /oldroot
rmdir /oldroot
[ "$(stat -f -c %T /)" = overlayfs ] || { echo "sandbox root is not the overlay" >&2; exit 1; }
cd /
exec "$init" "$@"
INNER
)

set +e
unshare --pid --mount --uts --net --fork --kill-child \
    bash -c "$inner" sandbox "$scratch" "$init" "$NAME" "$repo" "$build" "$@" </dev/null
status=$?
set -e
exit "$status"
