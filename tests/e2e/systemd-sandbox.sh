#!/usr/bin/env bash
# Runs one command inside a throw-away machine booted by a real systemd, then
# tears the machine down. Nothing on the host changes.
#
#   tests/e2e/systemd-sandbox.sh /bin/systemctl is-system-running
#
# The sandbox: new pid, mount, cgroup and uts namespaces; an overlay of / whose
# writable layer lives on a tmpfs of the sandbox (so every write vanishes with
# it); proc, /sys and /dev; tmpfs on /run and /tmp; a minimal target unit; and
# /lib/systemd/systemd as its pid 1. The command runs inside through nsenter,
# with the sandbox's own root, /run and /tmp.
#
# systemd is never booted on the real root: its boot-time clean-up would empty
# the host's /tmp. The overlay is mounted first, and the script stops before
# starting systemd when it is not in place.
#
# The checkout this script belongs to, the build tree named by BUILD_DIR and
# any directories listed (colon-separated) in SANDBOX_BIND are bound into the
# sandbox at the same paths, so that a checkout or build under /tmp or /run
# (which the sandbox covers with its own tmpfs) is still there. They are the
# only host directories the sandbox can write to.
#
# SANDBOX_ROOT=DIR lays the overlay on another system's root instead of this
# machine's (tests/e2e/debian13-root.sh makes one of Debian 13).
#
# Exit status: the command's; 77 when the sandbox cannot be made here (not
# root, no unshare/nsenter, no systemd), with the reason on standard error.
set -euo pipefail

SYSTEMD=${SYSTEMD:-/lib/systemd/systemd}
BOOT_TIMEOUT=${BOOT_TIMEOUT:-30}
NAME=tavrel-sandbox

skip() { echo "systemd-sandbox: skipped: $*" >&2; exit 77; }
[ "$#" -ge 1 ] || { echo "usage: $0 command [args...]" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || skip "needs root"
command -v unshare >/dev/null || skip "unshare is not installed"
command -v nsenter >/dev/null || skip "nsenter is not installed"
[ -x "${SANDBOX_ROOT:-}$SYSTEMD" ] || skip "$SYSTEMD is not installed"

checkout=$(cd "$(dirname "$0")/../.." && pwd)
binds=$checkout
[ -n "${BUILD_DIR:-}" ] && [ -d "$BUILD_DIR" ] && binds+=:$(cd "$BUILD_DIR" && pwd)
[ -n "${SANDBOX_BIND:-}" ] && binds+=:$SANDBOX_BIND

scratch=$(mktemp -d /var/tmp/tavrel-sandbox.XXXXXX)

# SANDBOX_OWN_NET=1: a network namespace of its own as well, with only its
# loopback, so that its daemons on well-known ports (sshd on 22) never meet
# another sandbox's; a long chaos campaign runs beside the other checks so.
own_net=${SANDBOX_OWN_NET:-0}
net=()
[ "$own_net" = 1 ] && net=(--net)

# The sandbox's pid 1: builds the new root, then becomes systemd.
inner=$(cat <<'INNER'
set -eu
scratch=$1 systemd=$2 name=$3 binds=$4 lib=$5 own_net=$6 cgroups=$7
. "$lib"
sandbox_root "$scratch" "$binds" "$cgroups"
if [ "$own_net" = 1 ]; then ip link set lo up; fi
mkdir -p /run/systemd/system
cat >"/run/systemd/system/$name.target" <<UNIT
[Unit]
Description=zidavoveva test sandbox
DefaultDependencies=no
Wants=systemd-journald.service
UNIT
hostname "$name"
export container=$name
exec "$systemd" --unit="$name.target"
INNER
)

# SANDBOX_ROOT (another system's root) boots that system's systemd, on one
# cgroup2 hierarchy: Debian 13's systemd refuses the older layouts.
cgroups=own-cgroups
[ -n "${SANDBOX_ROOT:-}" ] && cgroups=unified-cgroups

# A control-group tree of its own in every hierarchy systemd keeps track in:
# two sandboxes at once (a campaign beside a check) would otherwise share
# system.slice/cron.service, and each systemd would stop or wait for the
# other's daemons. Where no group can be made, the sandbox shares the tree.
groups=()
for hierarchy in /sys/fs/cgroup/systemd /sys/fs/cgroup/unified; do
    [ -f "$hierarchy/cgroup.procs" ] || continue
    group=$hierarchy/$(basename "$scratch")
    mkdir "$group" 2>/dev/null && groups+=("$group")
done
# Moves the calling shell into the sandbox's groups.
join_groups() {
    local group
    for group in "${groups[@]}"; do
        echo "$BASHPID" >"$group/cgroup.procs" 2>/dev/null || true
    done
}

(
    join_groups
    exec unshare --pid --mount --fork --cgroup --uts "${net[@]}" bash -c "$inner" sandbox "$scratch" \
        "$SYSTEMD" "$NAME" "$binds" "$checkout/tests/e2e/lib/sandbox-root.sh" "$own_net" "$cgroups"
) </dev/null >"$scratch.log" 2>&1 &
unshare_pid=$!

sandbox_pid=""
teardown() {
    if [ -n "$sandbox_pid" ]; then kill -KILL "$sandbox_pid" 2>/dev/null || true; fi
    kill -KILL "$unshare_pid" 2>/dev/null || true
    wait "$unshare_pid" 2>/dev/null || true
    local group
    for group in "${groups[@]}"; do
        # Deepest first; a group empties a moment after its last process ends.
        for _ in $(seq 1 50); do
            find "$group" -depth -type d -exec rmdir {} + 2>/dev/null || true
            [ -d "$group" ] || break
            sleep 0.1
        done
    done
    rmdir "$scratch" 2>/dev/null || true
    rm -f "$scratch.log"
}
trap teardown EXIT

# The sandbox's pid 1, as the host sees it: unshare's only child.
for _ in $(seq 1 100); do
    sandbox_pid=$(cat "/proc/$unshare_pid/task/$unshare_pid/children" 2>/dev/null | awk '{print $1}')
    [ -n "$sandbox_pid" ] && break
    kill -0 "$unshare_pid" 2>/dev/null || break
    sleep 0.05
done
[ -n "$sandbox_pid" ] || { cat "$scratch.log" >&2; echo "systemd-sandbox: the sandbox did not start" >&2; exit 1; }

enter() {
    local spaces=(-m -p -u)
    [ "$own_net" = 1 ] && spaces+=(-n)
    (join_groups && exec nsenter -t "$sandbox_pid" "${spaces[@]}" "$@")
}

# Up when systemd answers and its target is reached.
deadline=$((SECONDS + BOOT_TIMEOUT))
until state=$(enter /bin/systemctl is-system-running 2>/dev/null) || [ "$state" = degraded ]; do
    case "$state" in running | degraded) break ;; esac
    if ! kill -0 "$sandbox_pid" 2>/dev/null || [ "$SECONDS" -ge "$deadline" ]; then
        cat "$scratch.log" >&2
        echo "systemd-sandbox: systemd did not come up (state: ${state:-none})" >&2
        exit 1
    fi
    sleep 0.2
done

set +e
enter "$@"
status=$?
set -e
exit "$status"
