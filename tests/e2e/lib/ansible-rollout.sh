#!/usr/bin/env bash
# Inside a SysV sandbox (tests/e2e/checks/ansible-rollout):
#   ansible-rollout.sh BUILD_DIR
# Prints one line per failed expectation and exits 1 when any failed.
set -uo pipefail

build=$1
lib=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$lib/../../.." && pwd)
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
note() { echo "--- $*"; }

. "$lib/debs.sh"
install_debs_in_sandbox ansible-core openssh-server openssh-client iproute2 || { echo "ansible-core could not be installed" >&2; exit 1; }
rm -f /usr/sbin/policy-rc.d
cmake --install "$build" >/dev/null || { echo "cannot install the program" >&2; exit 1; }
export PATH=/usr/local/sbin:/usr/sbin:/usr/bin:/sbin:/bin
. "$lib/testd.sh"
testd_install "$build"
# The status check's name search passes over the lowest pids, which a fresh
# sandbox hands out.
for _ in $(seq 400); do /bin/true; done

# One service per host, each reading its own configuration file.
for n in 1 2 3; do
    : >"/etc/zroll$n.conf"
    testd_define "zroll$n" '' "\"--config\", \"/etc/zroll$n.conf\","
    zidavoveva_service "zroll$n" >/dev/null 2>&1 || fail "zroll$n did not start"
done
before1=$(testd_pid zroll1) before2=$(testd_pid zroll2) before3=$(testd_pid zroll3)
# The second host's configuration breaks: its daemon refuses to start.
echo "fail=zroll2: unknown directive \"Listen nowhere\" in /etc/zroll2.conf" >/etc/zroll2.conf

work=/tmp/rollout
mkdir -p "$work"
cat >"$work/inventory.yml" <<'YAML'
fleet:
  hosts:
    host1: {zidavoveva_service: zroll1}
    host2: {zidavoveva_service: zroll2}
    host3: {zidavoveva_service: zroll3}
  vars:
    ansible_connection: local
    ansible_python_interpreter: /usr/bin/python3
YAML
export LC_ALL=C.UTF-8 HOME=/root ANSIBLE_NOCOLOR=1 ANSIBLE_STDOUT_CALLBACK=default \
    ANSIBLE_LOCAL_TEMP=$work/tmp ANSIBLE_REMOTE_TEMP=$work/tmp ANSIBLE_RETRY_FILES_ENABLED=0
version=$(ansible-playbook --version 2>&1)
note "${version%%$'\n'*}"
played=0
out=$(ansible-playbook -i "$work/inventory.yml" "$repo/examples/ansible/restart.yml" 2>&1) || played=$?
echo "$out"

after1=$(testd_pid zroll1) after3=$(testd_pid zroll3)
[ "$played" != 0 ] || fail "the play succeeded although host2 failed"
{ [ -n "$after1" ] && [ "$after1" != "$before1" ] && testd_up zroll1; } ||
    fail "host1: zroll1 was not restarted: pid $before1 -> $after1"
grep -q "host1: zroll1 restart succeeded in [0-9]* ms; pids $after1\"" <<<"$out" ||
    fail "host1 is not reported restarted with its new pid $after1"
grep -q 'host2: zroll2 [a-z]* FAILED (status 255): .*zroll2.* \[Tavrel::Exception::Services::[A-Za-z]*Error, error id [a-z0-9]\{10\}\]' <<<"$out" ||
    fail "host2 is not reported failed with its failure's class and id"
grep -q 'host2: .*startup log: .*zroll2: unknown directive' <<<"$out" ||
    fail "host2's report lacks the daemon's own reason from its startup log"
grep -q "zroll2 failed on host2; the roll-out stops here" <<<"$out" || fail "host2 did not end the roll-out"
testd_up zroll2 && fail "zroll2 runs although its start failed (pid $(testd_pid zroll2), was $before2)"
{ [ "$after3" = "$before3" ] && testd_up zroll3; } || fail "host3: zroll3 was touched: pid $before3 -> $after3"
grep -q "host3" <<<"$out" && fail "host3 appears in the play's output"
note "host1 restarted (pid $before1 -> $after1), host2 failed and stopped the roll-out, host3 untouched (pid $after3)"

# A host without the program: no result record, and that is a failure too.
played=0
out=$(ansible-playbook -i "$work/inventory.yml" -l host3 -e zidavoveva_program=/nonexistent/zidavoveva_service \
    "$repo/examples/ansible/restart.yml" 2>&1) || played=$?
[ "$played" != 0 ] || fail "the play without the program succeeded: $out"
grep -q 'host3: zroll3 FAILED: no result record (status [0-9]*; .*nonexistent' <<<"$out" ||
    fail "host3 without the program is not reported as a run without a result record: $out"
[ "$(testd_pid zroll3)" = "$before3" ] || fail "zroll3 was touched by a run of a missing program"
note "without the program: $(grep -o 'host3: zroll3 FAILED: no result record[^"]*' <<<"$out")"

# The canary roll-out (examples/ansible/rollout.yml) over real SSH: five
# hosts, each in its own namespaces with its own sshd, and a budget of one
# failed host. Batches of 1, 25% and the rest: host1 | host2 | host3-5.
# host1, the canary, fails and the roll-out goes on; host2 fails too, which
# passes the budget, so the roll-out stops after its batch and host3-5 are
# never touched.
note "the canary roll-out over SSH"
. "$lib/fleet.sh"
: >/etc/zroll.conf
testd_define zroll '' '"--config", "/etc/zroll.conf",'
fleet_up=1
for n in 1 2 3 4 5; do
    fleet_start "$n" "$build" || { fail "host$n could not be made"; fleet_up=0; break; }
done
host_pid() { on_host "$1" cat /run/zroll.pid 2>/dev/null; }
host_up() { local pid; pid=$(host_pid "$1"); [ -n "$pid" ] && on_host "$1" kill -0 "$pid" 2>/dev/null; }
cat >"$work/fleet.yml" <<YAML
fleet:
  hosts:
    host1: {ansible_host: 10.77.1.2}
    host2: {ansible_host: 10.77.2.2}
    host3: {ansible_host: 10.77.3.2}
    host4: {ansible_host: 10.77.4.2}
    host5: {ansible_host: 10.77.5.2}
  vars:
    ansible_user: root
    ansible_ssh_private_key_file: $FLEET_DIR/controller_key
    ansible_ssh_common_args: -o UserKnownHostsFile=$FLEET_DIR/known_hosts -o StrictHostKeyChecking=yes
    ansible_python_interpreter: /usr/bin/python3
    zidavoveva_service: zroll
YAML
if [ "$fleet_up" = 1 ]; then
    declare -A before=()
    for n in 1 2 3 4 5; do before[$n]=$(host_pid "$n"); done
    for n in 1 2; do
        echo "fail=zroll: unknown directive \"Listen host$n\" in /etc/zroll.conf" >"$FLEET_DIR/host$n/zroll.conf"
    done
    played=0
    out=$(cd "$work" && ansible-playbook -i fleet.yml "$repo/examples/ansible/rollout.yml" \
        -e zidavoveva_failure_budget=1 2>&1) || played=$?
    echo "$out"
    [ "$played" != 0 ] || fail "the roll-out succeeded although two hosts failed"
    for n in 1 2; do
        grep -q "host$n: zroll restart FAILED (status 255): .*\[Tavrel::Exception::Services::[A-Za-z]*Error, error id [a-z0-9]\{10\}\].*startup log: .*Listen host$n" <<<"$out" ||
            fail "host$n is not reported failed with its class, id and the daemon's reason"
        host_up "$n" && fail "host$n: zroll runs although its start failed"
    done
    grep -q "1 of a budget of 1 failed hosts used (host1); the roll-out goes on to host2, host3, host4, host5" <<<"$out" ||
        fail "the canary's failure did not let the roll-out go on within the budget"
    grep -q "2 hosts failed (host1, host2), more than the budget of 1: the roll-out stops after this batch; host3, host4, host5 left as they are" <<<"$out" ||
        fail "the second failure did not stop the roll-out"
    for n in 3 4 5; do
        [ "$(host_pid "$n")" = "${before[$n]}" ] && host_up "$n" ||
            fail "host$n: zroll was touched: pid ${before[$n]} -> $(host_pid "$n")"
        grep -Eq "^(ok|changed|fatal): \[host$n\]" <<<"$out" && fail "host$n was reached"
        # Its one line is the host's own start of zroll when it came up.
        [ "$(wc -l <"$FLEET_DIR/host$n/log/zidavoveva/history")" = 1 ] || fail "the tool ran on host$n"
    done
    grep -q '"ssh_client":"10.77.1.1"' "$FLEET_DIR/host1/log/zidavoveva/history" ||
        fail "host1's history does not name the controller's address: $(cat "$FLEET_DIR/host1/log/zidavoveva/history")"
    /usr/bin/python3 - "$work/zidavoveva-rollout.json" <<'PY' || fail "the summary is not what the roll-out did"
import json, sys
summary = json.load(open(sys.argv[1]))
hosts = {h["host"]: h for h in summary["hosts"]}
assert summary["service"] == "zroll" and summary["failure_budget"] == 1, summary
assert summary["stopped"] is True and summary["failed"] == ["host1", "host2"], summary
assert summary["not_reached"] == ["host3", "host4", "host5"], summary
for name in ("host1", "host2"):
    result = hosts[name]["result"]
    assert hosts[name]["outcome"] == "failed" and result["succeeded"] is False, hosts[name]
    assert result["failure_class"].startswith("Tavrel::Exception::Services::"), result
    assert "Listen " + name in hosts[name]["reason"], hosts[name]
for name in ("host3", "host4", "host5"):
    assert hosts[name]["outcome"] == "not reached" and hosts[name]["result"] is None, hosts[name]
PY
    note "the summary on the controller:"
    cat "$work/zidavoveva-rollout.json"
    note "host1 (canary) failed within the budget, host2 failed and stopped the roll-out, host3-5 untouched"

    # Mended, the same roll-out goes through every batch and ends 0; an
    # unreachable host is a failed host and ends it non-zero.
    for n in 1 2; do : >"$FLEET_DIR/host$n/zroll.conf"; done
    played=0
    out=$(cd "$work" && ansible-playbook -i fleet.yml "$repo/examples/ansible/rollout.yml" 2>&1) || played=$?
    [ "$played" = 0 ] || fail "the mended roll-out failed ($played): $out"
    note "the mended roll-out, its end:"
    tail -n 9 <<<"$out"
    # Three batches: the canary, a quarter of five (one host), the rest.
    [ "$(grep -c '^PLAY \[' <<<"$out")" = 3 ] || fail "the mended roll-out did not run in three batches: $out"
    for n in 1 2 3 4 5; do
        pid=$(host_pid "$n")
        grep -q "host$n: zroll [a-z]* succeeded in [0-9]* ms; pids $pid\"" <<<"$out" && host_up "$n" ||
            fail "host$n is not reported restarted with its pid $pid"
    done
    [ "$(host_pid 3)" != "${before[3]}" ] || fail "host3 was not restarted by the mended roll-out"
    # An address no route leads to: the host cannot be reached at all.
    played=0
    out=$(cd "$work" && ansible-playbook -i fleet.yml "$repo/examples/ansible/rollout.yml" -l host5 \
        -e ansible_host=10.77.9.2 -e zidavoveva_connect_timeout=2 -e zidavoveva_failure_budget=1 2>&1) || played=$?
    [ "$played" != 0 ] || fail "a roll-out to an unreachable host succeeded: $out"
    grep -q 'host5: zroll FAILED: the host could not be reached: .*Network is unreachable' <<<"$out" ||
        fail "the unreachable host is not reported failed: $out"
    grep -q 'The roll-out reached every host; 1 failed (host5), within the budget of 1' <<<"$out" ||
        fail "the roll-out to an unreachable host does not end on its failure: $out"
    note "mended: every host restarted; $(grep -o 'host5: zroll FAILED: the host could not be reached[^"]*' <<<"$out")"
fi
fleet_stop

if [ "$failures" -ne 0 ]; then
    echo "ansible-rollout: $failures failures" >&2
    exit 1
fi
note "all passed"
