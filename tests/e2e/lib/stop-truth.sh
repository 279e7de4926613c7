#!/usr/bin/env bash
# Inside a sandbox (SysV or systemd): what a stop says agrees with what runs.
# Run by tests/e2e/checks/stop-truth as  stop-truth.sh BUILD_DIR
set -uo pipefail

build=$1
lib=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
failures=0
errfile=/run/stop-truth.stderr
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
note() { echo "--- $*"; }
run() { out=$("$@" 2>"$errfile") && rc=0 || rc=$?; err=$(cat "$errfile"); }
expect_rc() {
    [ "$rc" = "$1" ] || fail "$2: status $rc, expected $1 (stdout: ${out:0:600}) (stderr: ${err:0:400})"
}
expect_out() {
    grep -Eq -- "$1" <<<"$out" || fail "$2: stdout lacks /$1/ (stdout: ${out:0:600}) (stderr: ${err:0:400})"
}

cmake --install "$build" >/dev/null || { echo "cannot install the program" >&2; exit 1; }
export PATH=/usr/local/sbin:$PATH
. "$lib/testd.sh"
testd_install "$build"
under_systemd=false
[ -d /run/systemd/system ] && under_systemd=true
mode=sysv; $under_systemd && mode=systemd
note "stop-truth under $mode"

# --- a stop that fails and leaves the daemon running ----------------------------
# The daemon installed under the service word, so that the status check knows
# it by its name, and an init script whose stop refuses.
install -m 755 "$build/tests/daemon/zidavoveva_testd" /usr/local/sbin/zf
cat >/etc/init.d/zf <<'SCRIPT'
#!/bin/sh
case "$1" in
start) exec /usr/local/sbin/zf --daemonize --name zf --pidfile /run/zf.pid ;;
stop) echo "zf: refusing to stop" >&2; exit 1 ;;
*) exit 0 ;;
esac
SCRIPT
chmod 755 /etc/init.d/zf
# Known to this server by a definition that names no pid file: the stop has
# only the init script to go by.
printf '{"service_binary": "/usr/local/sbin/zf"}\n' >"$TESTD_DEFS/Zf.json"
ln -sf zidavoveva_base /usr/local/sbin/stopzf
zf_pids() { testd_processes zf; }
zf_count() { set -- $(zf_pids); echo $#; }

# The name search of the status check passes over the lowest pids, which a
# fresh sandbox hands out: the daemon gets a higher one.
while [ "$(sh -c 'echo $$')" -lt 400 ]; do :; done
zidavoveva_service zf >/dev/null 2>&1
[ "$(zf_count)" = 1 ] || fail "zf does not run once after its start: $(zf_pids)"
pid=$(zf_pids); pid=${pid% }
for how in "zidavoveva_service zf --stop" "stopzf" "zidavoveva_service zf --stop --json"; do
    run $how
    expect_rc 255 "$how, the daemon still running"
    expect_out "PID $pid" "$how names the process that still runs"
    grep -q '"success"' <<<"$(grep -v '"type":"result"' <<<"$out" | tail -n 1)" &&
        fail "$how ends in a success record"
    case $how in *--json*)
        grep -q '"type":"result".*"succeeded":false' <<<"$(tail -n 1 <<<"$out")" ||
            fail "$how: its result record does not say it failed: $(tail -n 1 <<<"$out")" ;;
    esac
    grep -q "was stopped" <<<"$out" && fail "$how says the service was stopped: $out"
done
run zidavoveva_service zf --check
expect_rc 0 "--check after the failed stop (the daemon runs)"
# A restart whose stop fails starts no second copy.
run zidavoveva_service zf
expect_rc 255 "a restart whose stop failed"
expect_out "no second copy" "the restart says it started nothing"
[ "$(zf_count)" = 1 ] || fail "a restart whose stop failed started another copy: $(zf_pids)"
testd_kill_all zf

# An init script that stops its daemon is still a stop that succeeds.
cat >/etc/init.d/zf <<'SCRIPT'
#!/bin/sh
case "$1" in
start) exec /usr/local/sbin/zf --daemonize --name zf --pidfile /run/zf.pid ;;
stop) kill "$(cat /run/zf.pid)"; exit 0 ;;
*) exit 0 ;;
esac
SCRIPT
zidavoveva_service zf >/dev/null 2>&1
run stopzf
expect_rc 0 "an init script whose stop works"
expect_out "was stopped" "a stop that worked says so"
[ "$(zf_count)" = 0 ] || fail "zf still runs after a stop that worked: $(zf_pids)"

# The same under systemd, through a unit whose stop fails and that leaves its
# processes where they are.
if $under_systemd; then
    install -m 755 "$build/tests/daemon/zidavoveva_testd" /usr/local/sbin/zfu
    cat >/run/systemd/system/zfu.service <<'UNIT'
[Service]
Type=forking
PIDFile=/run/zfu.pid
ExecStart=/usr/local/sbin/zfu --daemonize --name zfu --pidfile /run/zfu.pid
ExecStop=/bin/false
KillMode=none
UNIT
    printf '{"service_binary": "/usr/local/sbin/zfu"}\n' >"$TESTD_DEFS/Zfu.json"
    systemctl daemon-reload
    zidavoveva_service zfu >/dev/null 2>&1
    pid=$(systemctl show -p MainPID --value zfu)
    [ "${pid:-0}" -gt 1 ] || fail "zfu did not start under systemd"
    run zidavoveva_service zfu --stop
    expect_rc 255 "systemd: a unit whose stop leaves the daemon running"
    expect_out "PID $pid" "systemd: the stop names the process that still runs"
    gone "$pid" && fail "systemd: zfu was expected to be left running by its unit"
    testd_kill_all zfu
    systemctl reset-failed zfu 2>/dev/null
    # An orderly unit still stops with status 0.
    sed -i '/^ExecStop=/d;/^KillMode=/d' /run/systemd/system/zfu.service
    systemctl daemon-reload
    zidavoveva_service zfu >/dev/null 2>&1
    run zidavoveva_service zfu --stop
    expect_rc 0 "systemd: an orderly stop"
    expect_out "was stopped" "systemd: an orderly stop says so"
fi

# --- a daemon that never writes its pid file --------------------------------------
note "copies of a daemon without a pid file"
testd_define pilingd '"restart_attempts": 3,' '"--pidfile-delay", "1000",'
sed -i 's/"startup_timeout": 5/"startup_timeout": 1/' "$TESTD_DEFS/Pilingd.json"
piles() { set -- $(testd_processes pilingd); echo $#; }
run zidavoveva_service pilingd
expect_rc 255 "a daemon that never writes its pid file fails to start"
[ "$(piles)" = 0 ] || fail "failed start attempts left copies running: $(testd_processes pilingd)"
run zidavoveva_service pilingd
[ "$(piles)" = 0 ] || fail "a second failed run left copies running: $(testd_processes pilingd)"
# Copies left from before (by hand, or by an older version): the stop finds
# them although no pid file names them.
for _ in 1 2; do
    "$TESTD" --pidfile-delay 1000 --daemonize --name pilingd --pidfile /run/pilingd.pid \
        --record /run/pilingd.record
done
[ "$(piles)" = 2 ] || fail "two copies expected before the stop: $(testd_processes pilingd)"
run zidavoveva_service pilingd --stop
expect_rc 0 "the stop of copies that no pid file names"
[ "$(piles)" = 0 ] || fail "the stop left copies running: $(testd_processes pilingd)"

# --- an init script that never writes the pid file ------------------------------
# Its daemon is a copy of sleep under the service's word. Only under SysV: a
# systemd host turns the script into a unit of its own.
if ! $under_systemd; then
    note "a daemon its init script starts without writing the pid file"
    install -m 755 "$(readlink -f /bin/sleep)" /usr/local/sbin/zn
    cat >/etc/init.d/zn <<'SCRIPT'
#!/bin/sh
case "$1" in
start) /usr/local/sbin/zn 1000 </dev/null >/dev/null 2>&1 & exit 0 ;;
stop) [ -f /run/zn.pid ] && kill "$(cat /run/zn.pid)"; exit 0 ;;
*) exit 0 ;;
esac
SCRIPT
    chmod 755 /etc/init.d/zn
    printf '{ "pidfile": "/run/zn.pid", "restart_attempts": 3, "startup_timeout": 2, "service_binary": "/usr/local/sbin/zn" }\n' \
        >"$TESTD_DEFS/Zn.json"
    zn_pids() {
        local pid
        for pid in $(pgrep -x zn); do gone "$pid" || printf '%s ' "$pid"; done
    }
    zn_count() { set -- $(zn_pids); echo $#; }
    for round in 1 2; do
        run zidavoveva_service zn
        expect_rc 255 "restart $round of a daemon that never writes its pid file"
        [ "$(zn_count)" = 0 ] || fail "restart $round left copies of zn running: $(zn_pids)"
    done
    run zidavoveva_service zn --status
    expect_rc 255 "--status after the failed restarts"
    # Copies started by the script itself: --status finds them, so the stop
    # fails naming them (its script does not stop them) and says nothing
    # was stopped; once they are gone, the stop is done.
    /etc/init.d/zn start; /etc/init.d/zn start
    for _ in $(seq 100); do [ "$(zn_count)" = 2 ] && break; sleep 0.05; done
    copies=$(zn_pids)
    run zidavoveva_service zn --status
    expect_rc 0 "--status with two copies running"
    expect_out "zn \(/usr/local/sbin/zn 1000\) is running as root" "--status names a copy"
    run zidavoveva_service zn --stop
    expect_rc 255 "the stop of copies its init script leaves running"
    for pid in $copies; do expect_out "PID $pid" "the failed stop names copy $pid"; done
    grep -q "was stopped" <<<"$out" && fail "the stop says zn was stopped while --status finds it: $out"
    run zidavoveva_service zn
    expect_rc 255 "a restart whose stop left copies running"
    expect_out "no second copy" "the restart says it started nothing"
    [ "$(zn_count)" = 2 ] || fail "the restart changed the copies: $(zn_pids), expected $copies"
    kill $copies
    for _ in $(seq 100); do [ "$(zn_count)" = 0 ] && break; sleep 0.05; done
    run zidavoveva_service zn --stop
    expect_rc 0 "the stop once the copies are gone"
    run zidavoveva_service zn --status
    expect_rc 255 "--status after the stop"
    # Another program under the service's name (the SSH client beside the
    # SSH server): not the service to --status, so nothing to stop, and
    # left running.
    perl -e '$0 = "zn"; sleep 1000' </dev/null >/dev/null 2>&1 &
    stranger=$!
    for _ in $(seq 100); do [ "$(zn_count)" = 1 ] && break; sleep 0.05; done
    run zidavoveva_service zn --status
    expect_rc 255 "--status of another program named zn"
    run zidavoveva_service zn --stop
    expect_rc 0 "the stop with only another program named zn running"
    gone "$stranger" && fail "the stop ended another program that only carries the service's name"
    kill "$stranger" 2>/dev/null
    wait "$stranger" 2>/dev/null
fi

if [ "$failures" -gt 0 ]; then
    echo "stop-truth ($mode): $failures failed expectation(s)" >&2
    exit 1
fi
echo "stop-truth ($mode): all passed"
