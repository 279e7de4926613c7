#!/usr/bin/env bash
# The first command of one host of a fleet (tests/e2e/lib/fleet.sh), run by
# the test init in the host's own namespaces:
#   fleet-host.sh N DIR
# Makes the host's own /run, log directory and /etc/zroll.conf from DIR,
# waits for its network device, starts its sshd and the service zroll, marks
# DIR/ready, and then keeps the host up until it is ended.
set -eu
n=$1 dir=$2
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
hostname "host$n"
mount -t tmpfs -o mode=0755 tmpfs /run
mkdir -p /run/lock /run/sshd
mount --bind "$dir/log" /var/log
mount --bind "$dir/zroll.conf" /etc/zroll.conf
ip link set lo up
for _ in $(seq 100); do ip link show eth0 >/dev/null 2>&1 && break; sleep 0.1; done
ip addr add "10.77.$n.2/24" dev eth0
ip link set eth0 up
/usr/sbin/sshd -o HostKey="$dir/host_key" -o ListenAddress="10.77.$n.2" -o PidFile=/run/sshd.pid \
    -o PermitRootLogin=prohibit-password -o PasswordAuthentication=no
# A fresh pid namespace hands out the lowest pids, which the tool's search
# for a service's processes passes over: a daemon is never one of them.
for _ in $(seq 400); do /bin/true; done
zidavoveva_service zroll
touch "$dir/ready"
exec sleep infinity
