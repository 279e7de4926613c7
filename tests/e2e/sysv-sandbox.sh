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
# on /run and /tmp. The checkout, BUILD_DIR and any directories listed
# (colon-separated) in SANDBOX_BIND are bound in at their own paths, wherever
# they are (under /tmp or /run the sandbox's own tmpfs would hide them, and a
# separate file system is not part of the overlay). Its first process is zidavoveva_testinit from BUILD_DIR, which
# runs the command, reaps orphaned daemons, and ends everything left when the
# command ends.
#
# SANDBOX_ROOT=DIR lays the overlay on another system's root instead of this
# machine's (tests/e2e/debian13-root.sh makes one of Debian 13).
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

binds=$repo
[ -d "$build" ] && binds+=:$build
[ -n "${SANDBOX_BIND:-}" ] && binds+=:$SANDBOX_BIND

scratch=$(mktemp -d /var/tmp/tavrel-sysv.XXXXXX)
trap 'rmdir "$scratch" 2>/dev/null || true' EXIT

inner=$(cat <<'INNER'
set -eu
scratch=$1 init=$2 name=$3 binds=$4 lib=$5
shift 5
. "$lib"
sandbox_root "$scratch" "$binds"
mkdir -p /run/lock
hostname "$name"
ip link set lo up 2>/dev/null || true
exec "$init" "$@"
INNER
)

set +e
unshare --pid --mount --uts --net --fork --kill-child \
    bash -c "$inner" sandbox "$scratch" "$init" "$NAME" "$binds" "$here/lib/sandbox-root.sh" "$@" </dev/null
status=$?
set -e
exit "$status"
