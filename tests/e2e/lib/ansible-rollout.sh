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
install_debs_in_sandbox ansible-core || { echo "ansible-core could not be installed" >&2; exit 1; }
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

if [ "$failures" -ne 0 ]; then
    echo "ansible-rollout: $failures failures" >&2
    exit 1
fi
note "all passed"
