# A fleet of small hosts inside one sandbox, for checks that need real SSH
# between machines. Sourced by a script that runs inside a SysV sandbox.
#
#   . tests/e2e/lib/fleet.sh
#   fleet_start 1 "$build"      # host1 at 10.77.1.2, reached from 10.77.1.1
#   on_host 1 cat /run/sshd.pid
#
# Each host has its own pid, mount, network and uts namespaces: its own /proc
# (so the tool there sees only that host's processes), /run, log directory
# and /etc/zroll.conf, and one network device whose other end is in the
# sandbox, where the controller runs. Its first process is the project's
# test init, which reaps its daemons. At start it runs its own sshd (its own
# host key, root by key only) and starts the service zroll through the
# installed tool. The rest of the root (the installed programs, /root,
# /etc/zidavoveva) is the sandbox's, shared by all hosts.

FLEET_DIR=/var/tmp/fleet
declare -A fleet_pid=()

# fleet_start N BUILD: host N, ready (sshd listening, zroll started) or 1.
fleet_start() {
    local n=$1 build=$2 dir=$FLEET_DIR/host$1 lib
    lib=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
    mkdir -p "$dir/log"
    [ -f "$dir/zroll.conf" ] || : >"$dir/zroll.conf"
    [ -f "$dir/host_key" ] || ssh-keygen -q -t ed25519 -N '' -C "host$n" -f "$dir/host_key"
    [ -f "$FLEET_DIR/controller_key" ] || {
        ssh-keygen -q -t ed25519 -N '' -C controller -f "$FLEET_DIR/controller_key"
        install -d -m 700 /root/.ssh
        cat "$FLEET_DIR/controller_key.pub" >>/root/.ssh/authorized_keys
    }
    echo "10.77.$n.2 $(cut -d' ' -f1-2 "$dir/host_key.pub")" >>"$FLEET_DIR/known_hosts"
    rm -f "$dir/ready"
    unshare --pid --mount --net --uts --fork --kill-child --mount-proc \
        "$build/tests/daemon/zidavoveva_testinit" bash "$lib/fleet-host.sh" "$n" "$dir" \
        </dev/null >"$dir/console" 2>&1 &
    fleet_pid[$n]=$!
    # The host's end of the link goes into its network namespace, which the
    # unshare process shares with it.
    local _
    for _ in $(seq 50); do
        ip link add name "fleet$n" type veth peer name eth0 netns "${fleet_pid[$n]}" 2>/dev/null && break
        sleep 0.1
    done
    ip addr add "10.77.$n.1/24" dev "fleet$n" && ip link set "fleet$n" up || return 1
    for _ in $(seq 150); do
        [ -f "$dir/ready" ] && return 0
        kill -0 "${fleet_pid[$n]}" 2>/dev/null || break
        sleep 0.1
    done
    echo "fleet: host$n did not come up: $(cat "$dir/console")" >&2
    return 1
}

# on_host N COMMAND...: runs COMMAND on host N, in all its namespaces. The
# unshare process stays outside the host's pid namespace; its child, the
# host's first process, is in all of them.
on_host() {
    local n=$1 first
    shift
    first=$(pgrep -P "${fleet_pid[$n]}" | head -n 1)
    [ -n "$first" ] || { echo "fleet: host$n is down" >&2; return 1; }
    nsenter -t "$first" -m -u -n -p -- "$@"
}

fleet_stop() {
    local n
    # unshare ignores TERM while it waits for its child; KILL ends it, and
    # it takes the host down with it (--kill-child).
    for n in "${!fleet_pid[@]}"; do kill -KILL "${fleet_pid[$n]}" 2>/dev/null; done
    wait 2>/dev/null
}
