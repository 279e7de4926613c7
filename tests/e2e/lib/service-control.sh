#!/usr/bin/env bash
# The installed program against real daemons, inside a sandbox (never on the
# host). Run by tests/e2e/checks/service-control-* as
#   service-control.sh BUILD_DIR
# inside a machine booted by systemd (or with MODE=sysv, one without it).
# Installs the program and the packages (their daemons kept from starting on
# install), then runs every case; prints one line per failed expectation and
# exits 1 when any failed.
set -uo pipefail

build=$1
lib=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
failures=0
errfile=/run/service-control.stderr
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
note() { echo "--- $*"; }

# run NAME ARGS...: runs the program, keeping status, stdout and stderr.
run() {
    out=$("$@" 2>"$errfile") && rc=0 || rc=$?
    err=$(cat "$errfile")
}
expect_rc() {  # expected status, description
    [ "$rc" = "$1" ] || fail "$2: status $rc, expected $1 (stdout: ${out:0:400}) (stderr: ${err:0:400})"
}
expect_out() {  # pattern, description
    grep -Eq -- "$1" <<<"$out" || fail "$2: stdout lacks /$1/ (stdout: ${out:0:400}) (stderr: ${err:0:400})"
}
expect_err() {
    grep -Eq -- "$1" <<<"$err" || fail "$2: stderr lacks /$1/ (stderr: ${err:0:400})"
}
main_pid() {  # unit -> main pid (systemd), pid-file pid otherwise
    if [ -d /run/systemd/system ]; then
        systemctl show -p MainPID --value "$1"
    else
        cat "$2" 2>/dev/null || echo 0
    fi
}
no_process() {  # program name
    ! pgrep -x "$1" >/dev/null
}

# --- set-up -----------------------------------------------------------------
cmake --install "$build" >/dev/null || { echo "cannot install the program" >&2; exit 1; }
export PATH=/usr/local/sbin:$PATH
printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
chmod 755 /usr/sbin/policy-rc.d
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends --no-download \
    cron openssh-server nscd rsyslog python3-prometheus-client >/tmp/apt.log 2>&1 || { cat /tmp/apt.log >&2; exit 1; }
rm -f /usr/sbin/policy-rc.d
if [ -d /run/systemd/system ]; then
    systemctl daemon-reload
    systemctl stop cron ssh nscd rsyslog syslog.socket >/dev/null 2>&1
fi
pkill -x cron; pkill -x sshd; pkill -x nscd; pkill -x rsyslogd
sleep 0.2

# --- names, help and refusals --------------------------------------------------
note "names and refusals"
run zidavoveva_crond --help
expect_rc 0 "--help"; expect_out "zidavoveva_crond" "--help names the service"
expect_out "143" "--help lists the exit statuses"
run zidavoveva_base
[ "$rc" != 0 ] || fail "zidavoveva_base under its own name must refuse"
expect_err "must be run under a service name" "zidavoveva_base refusal"
run zidavoveva_service restart
[ "$rc" != 0 ] || fail "generic name with the word restart must refuse"
expect_err "“restart” is an action" "action word refused"
run zidavoveva_service --status ../etc
[ "$rc" != 0 ] || fail "a service word with .. must refuse"
run zidavoveva_service --status nosuchservice
[ "$rc" != 0 ] || fail "an unknown service must fail"
expect_err "nosuchservice" "unknown service named on stderr"
run zidavoveva_crond --stauts
[ "$rc" != 0 ] || fail "an unknown option must refuse"
expect_err "--stauts" "unknown option named"
pgrep -x cron >/dev/null && fail "a refused option must not start the service"

# --- crond: the full cycle -------------------------------------------------------
note "crond"
run zidavoveva_crond --status
[ "$rc" != 0 ] || fail "--status of a stopped crond must fail"
expect_err "cron" "--status of a stopped crond names it"
run zidavoveva_crond --check
[ "$rc" != 0 ] || fail "--check of a stopped crond must fail"
run zidavoveva_crond
expect_rc 0 "restart of a stopped crond"
expect_out "was (re)?started" "restart success line"
pid1=$(main_pid cron /run/crond.pid)
[ "${pid1:-0}" -gt 1 ] || fail "crond has no main pid after a restart"
run zidavoveva_crond --status
expect_rc 0 "--status of a running crond"
expect_out "$pid1" "--status shows the pid"
run zidavoveva_crond --check
expect_rc 0 "--check of a running crond"
expect_out "is running" "--check line"
# As typed after `service cron status`: a question, not a restart.
run zidavoveva_crond status
expect_rc 0 "a bare status of a running crond"
expect_out "$pid1" "a bare status shows the pid"
[ "$(main_pid cron /run/crond.pid)" = "$pid1" ] || fail "a bare status restarted crond"
# On a terminal the summary is in colour; through a pipe it is plain text. A
# restart has a summary (a reload of cron, which cannot reload, prints none).
if command -v script >/dev/null; then
    esc=$(printf '\033')
    TERM=xterm-256color script -qc "zidavoveva_crond" /dev/null >/tmp/on-a-tty 2>&1
    grep -q "$esc\[" /tmp/on-a-tty || fail "no colour on a terminal: $(cat -v /tmp/on-a-tty)"
    NO_COLOR=1 TERM=xterm-256color script -qc "zidavoveva_crond" /dev/null >/tmp/on-a-tty 2>&1
    ! grep -q "$esc\[" /tmp/on-a-tty || fail "colour on a terminal with NO_COLOR: $(cat -v /tmp/on-a-tty)"
    TERM=xterm-256color zidavoveva_crond >/tmp/in-a-pipe 2>&1
    ! grep -q "$esc" /tmp/in-a-pipe || fail "colour through a pipe: $(cat -v /tmp/in-a-pipe)"
fi
pid1=$(main_pid cron /run/crond.pid)
# Anyone may ask; only root may act.
as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
# (Under systemd another user's systemctl needs the system bus, which this
# sandbox does not run.)
if [ ! -d /run/systemd/system ]; then
    out=$(as_nobody zidavoveva_crond --status 2>&1) && grep -q "$pid1" <<<"$out" ||
        fail "--status as nobody: $out"
fi
for action in --stop "" --reload; do
    out=$(as_nobody zidavoveva_crond $action 2>&1) && fail "${action:-restart} as nobody succeeded: $out"
    grep -q "Only root" <<<"$out" || fail "${action:-restart} as nobody: $out"
done
[ "$(main_pid cron /run/crond.pid)" = "$pid1" ] || fail "a run as nobody touched crond"
if [ -d /run/systemd/system ]; then
    # A masked unit cannot be started again: the restart must leave it running.
    systemctl mask --runtime --quiet cron
    run zidavoveva_crond
    [ "$rc" != 0 ] || fail "restart of crond with its unit masked succeeded"
    expect_out "systemctl unmask cron.service" "a masked unit's restart says how to unmask it"
    [ "$(main_pid cron /run/crond.pid)" = "$pid1" ] || fail "the restart stopped crond with its unit masked"
    systemctl unmask --runtime --quiet cron
    # Restarted more often than its start limit allows, systemd refuses the
    # start: the failure says so, and how to lift it.
    for i in 1 2 3 4 5 6 7 8; do
        run zidavoveva_crond --no-verbose
        [ "$rc" = 0 ] || break
    done
    [ "$rc" != 0 ] || fail "eight restarts in a row never met systemd's start limit"
    expect_err "systemctl reset-failed cron.service" "a start refused for the start limit says how to lift it"
    systemctl reset-failed cron
    run zidavoveva_crond --no-verbose
    expect_rc 0 "restart of crond once its start limit is reset"
    pid1=$(main_pid cron /run/crond.pid)
fi
run zidavoveva_service crond --no-verbose
expect_rc 0 "restart of a running crond by the generic name"
pid2=$(main_pid cron /run/crond.pid)
[ "${pid2:-0}" -gt 1 ] && [ "$pid2" != "$pid1" ] || fail "restart gave no new main pid ($pid1 -> $pid2)"
run zidavoveva_crond --reload
expect_rc 0 "reload of crond (it cannot reload: nothing is done)"
expect_out "^The service “crond” cannot reload its configuration; nothing was done" \
    "a reload of a service that cannot reload says so"
run stopcrond
expect_rc 0 "stopcrond"
expect_out "was stopped" "stop success line"
run stopcrond
expect_rc 0 "stopcrond of a stopped cron"
[ "$out" = "The service “crond” is not running; nothing was done." ] ||
    fail "a stop of a stopped cron says more or less than that nothing was done: $out"
sleep 0.3
no_process cron || fail "cron still runs after stopcrond"
[ -s /var/tavrel/svcwatch/suspended/crond ] || fail "stop wrote no monitor suspension for crond"
run startcrond
expect_rc 0 "startcrond"
pgrep -x cron >/dev/null || fail "startcrond left cron down"

# systemd refuses a unit started more than five times in ten seconds.
reset_start_limit() { [ -d /run/systemd/system ] && systemctl reset-failed "$1" 2>/dev/null; true; }

# A reader that goes away must not stop a restart halfway.
reset_start_limit cron
note "closed standard output"
zidavoveva_crond | true
rc=${PIPESTATUS[0]}
sleep 0.3
pgrep -x cron >/dev/null || fail "a restart whose output pipe closed left cron down (status $rc)"

# Two restarts at once: one waits for the other, both succeed.
note "two restarts at once"
reset_start_limit cron
zidavoveva_crond --no-verbose & a=$!
zidavoveva_crond --no-verbose & b=$!
wait $a; ra=$?; wait $b; rb=$?
[ "$ra" = 0 ] && [ "$rb" = 0 ] || fail "parallel restarts: statuses $ra and $rb"
pgrep -x cron >/dev/null || fail "parallel restarts left cron down"

# The invocation log.
[ "$(stat -c %a /var/log/zidavoveva/invocation_log 2>/dev/null)" = 600 ] ||
    fail "invocation log missing or not 0600"
grep -q "zidavoveva_crond --stauts" /var/log/zidavoveva/invocation_log ||
    fail "invocation log lacks a run"
grep -q -- "--check" /var/log/zidavoveva/invocation_log && fail "checks must not be logged"

# --- the other built-in services ------------------------------------------------
for entry in "sshd:sshd" "nscd:nscd" "rsyslogd:rsyslogd"; do
    word=${entry%%:*} proc=${entry##*:}
    note "$word"
    run zidavoveva_$word --status
    [ "$rc" != 0 ] || fail "--status of a stopped $word must fail"
    run start$word
    expect_rc 0 "start$word"
    expect_out "was (re)?started" "$word restart line"
    run zidavoveva_$word --check
    expect_rc 0 "--check of a running $word"
    run zidavoveva_$word --status
    expect_rc 0 "--status of a running $word"
    if [ "$word" != rsyslogd ]; then
        run zidavoveva_$word --reload
        expect_rc 0 "reload of $word"
    fi
    run stop$word
    expect_rc 0 "stop$word"
    # Under systemd the logger's socket would start it again at the next
    # message: the stop must last all the same.
    logger -t e2e "a message after stop$word" 2>/dev/null
    sleep 0.3
    no_process "$proc" || fail "$proc still runs after stop$word"
done
if [ -d /run/systemd/system ]; then
    run startrsyslogd
    expect_rc 0 "start of rsyslogd after its stop"
    systemctl is-active --quiet syslog.socket || fail "the start of rsyslogd left its socket stopped"
    run stoprsyslogd
fi

# --- the listing -------------------------------------------------------------------
# Every service the server knows, one line each, from a fresh look: the
# running ones with the main pid the init system or the pid file names, for
# root and for an account that is not root alike; and the listing changes
# nothing.
note "listing"
run startcrond
expect_rc 0 "startcrond before the listing"
run startsshd
expect_rc 0 "startsshd before the listing"
cron_pid=$(main_pid cron /run/crond.pid)
sshd_pid=$(main_pid ssh /run/sshd.pid)
for account in root nobody; do
    as=()
    [ "$account" = root ] || as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    run "${as[@]}" zidavoveva_service --list
    expect_rc 0 "--list by $account"
    expect_out "^SERVICE +INSTALLED +ENABLED +RUNNING +PID$" "--list by $account: its header"
    expect_out "^crond +yes +yes +yes +${cron_pid:-none}$" "--list by $account: cron runs under its main pid"
    expect_out "^sshd +yes +yes +yes +${sshd_pid:-none}$" "--list by $account: sshd runs under its main pid"
    expect_out "^nscd +yes +(yes|no) +no +-$" "--list by $account: nscd is installed and stopped"
    expect_out "^httpd +no +- +- +-$" "--list by $account: no web server here"
    [ "$account" = root ] && table=$out
done
echo "$table"
run zidavoveva_service --list --json
expect_rc 0 "--list --json"
lines=$(grep -c . <<<"$table")
jq -e --argjson cron "${cron_pid:-0}" --argjson lines "$lines" -s '
    (map(select(.type == "service")) | length == $lines - 1) and
    (map(select(.type == "service" and .contents.service == "crond"))[0].contents
        | .running and .main_pid == $cron) and
    (last | .type == "result" and .contents.action == "list" and .contents.succeeded)' \
    <<<"$out" >/dev/null || fail "--list --json: a record per service, then the result (stdout: ${out:0:600})"
printf '%s\n' "$out" >/tmp/list-records.json
# The same listing as metrics, read by the monitoring project's own parser:
# every answer of the records is its sample, and nothing else is. Debian's
# Python, which the package installed it for (the caller's PATH may put
# another first).
run zidavoveva_service --list --format=prometheus
expect_rc 0 "--list --format=prometheus"
/usr/bin/python3 -c '
import json, sys
from prometheus_client.parser import text_string_to_metric_families
records = {}
for line in open(sys.argv[1]):
    record = json.loads(line)
    if record["type"] == "service":
        records[record["contents"]["service"]] = record["contents"]
samples = {}
for family in text_string_to_metric_families(sys.stdin.read()):
    assert family.type == "gauge", family.name
    for sample in family.samples:
        samples[(sample.name, sample.labels["service"])] = sample.value
for service, contents in records.items():
    for member in ("installed", "enabled", "running", "main_pid"):
        want = contents[member]
        got = samples.pop(("zidavoveva_service_" + member, service), None)
        assert got == (None if want is None else float(want)), (service, member, want, got)
assert not samples, samples
' /tmp/list-records.json <<<"$out" 2>/tmp/metrics.err ||
    fail "--list --format=prometheus: not the records' answers ($(tail -n 3 /tmp/metrics.err)) (stdout: ${out:0:600})"
[ "$(main_pid cron /run/crond.pid)" = "$cron_pid" ] || fail "cron's pid changed during the listings"
[ "$(main_pid ssh /run/sshd.pid)" = "$sshd_pid" ] || fail "sshd's pid changed during the listings"
run stopcrond
expect_rc 0 "stopcrond after the listing"
run stopsshd
expect_rc 0 "stopsshd after the listing"

# An administrator restarts sshd from the SSH session they are logged in with:
# the session must outlive the restart, and a stop and a start as well.
note "sshd: an open session outlives a restart and a stop"
if command -v ssh >/dev/null && command -v ssh-keygen >/dev/null; then
    run startsshd
    expect_rc 0 "start of sshd for a session"
    rm -f /run/e2e-key /run/e2e-key.pub
    ssh-keygen -q -t ed25519 -N '' -f /run/e2e-key
    install -d -m 700 /root/.ssh
    cat /run/e2e-key.pub >>/root/.ssh/authorized_keys
    ssh -i /run/e2e-key -o BatchMode=yes -o StrictHostKeyChecking=no \
        -o UserKnownHostsFile=/dev/null root@127.0.0.1 'echo session-open; sleep 120' \
        >/run/e2e-ssh.out 2>&1 &
    client=$!
    for _ in $(seq 300); do grep -q session-open /run/e2e-ssh.out && break; sleep 0.1; done
    if ! grep -q session-open /run/e2e-ssh.out; then
        fail "no SSH session could be opened: $(cat /run/e2e-ssh.out)"
    else
        run zidavoveva_sshd
        expect_rc 0 "restart of sshd with a session open"
        run stopsshd
        expect_rc 0 "stop of sshd with a session open"
        sleep 0.5
        kill -0 "$client" 2>/dev/null || fail "the SSH session ended with sshd: $(cat /run/e2e-ssh.out)"
        run startsshd
        expect_rc 0 "start of sshd after the session's stop"
    fi
    kill "$client" 2>/dev/null
    wait "$client" 2>/dev/null
    run stopsshd
fi

note "sshd: a restart with a broken configuration stops nothing"
run startsshd
expect_rc 0 "start of sshd before its configuration breaks"
pid1=$(main_pid ssh /run/sshd.pid)
echo "NoSuchDirective yes" >>/etc/ssh/sshd_config
run zidavoveva_sshd
[ "$rc" != 0 ] || fail "a restart of sshd with a broken configuration succeeded"
grep -q "NoSuchDirective" <<<"$out$err" || fail "the refusal does not show what sshd -t said: $out $err"
[ "$(main_pid ssh /run/sshd.pid)" = "$pid1" ] || fail "the restart with a broken configuration touched sshd"
sed -i '/^NoSuchDirective/d' /etc/ssh/sshd_config
run zidavoveva_sshd
expect_rc 0 "restart of sshd once its configuration is mended"
run stopsshd

# --- the history of runs ------------------------------------------------------------
# Every run by root that acts is one JSON line, whole, also when runs come at
# once; a run killed by SIGKILL has none and harms nothing; the caller is
# found through an SSH session and through a caller that kept it when the
# run's own environment lost it (as sudo does).
note "the history of runs"
hist=/var/log/zidavoveva/history
history_lines() { if [ -f $hist ]; then wc -l <$hist; else echo 0; fi; }
# hist_ok [PYTHON-CONDITION ON THE LAST LINE `l`]: every line is a JSON object
# and the last one meets the condition.
hist_ok() {
    /usr/bin/python3 -c '
import json, sys
lines = [json.loads(x) for x in open(sys.argv[1])]
assert all(isinstance(x, dict) for x in lines)
l = lines[-1]
assert eval(sys.argv[2]), l
' "$hist" "${1:-True}" 2>/tmp/hist.err
}
run startcrond
expect_rc 0 "start of cron for the history"
pid1=$(main_pid cron /run/crond.pid)
run zidavoveva_crond --restart --no-verbose
expect_rc 0 "restart of cron for the history"
pid2=$(main_pid cron /run/crond.pid)
[ "$(stat -c %a $hist 2>/dev/null)" = 600 ] || fail "the history is not 0600: $(ls -l $hist 2>&1)"
hist_ok "l['service'] == 'crond' and l['action'] == 'restart' and l['succeeded'] and l['args'] == ['--restart', '--no-verbose'] and $pid1 in l['pids_before'] and $pid2 in l['pids_after'] and l['uid'] == 0" ||
    fail "the restart's line: $(tail -n 1 $hist) ($(tail -n 2 /tmp/hist.err))"
n0=$(history_lines)
for i in 1 2 3 4; do
    zidavoveva_crond --restart >/dev/null 2>&1 &
    zidavoveva_crond --reload >/dev/null 2>&1 &
done
wait
[ "$(history_lines)" -eq $((n0 + 8)) ] || fail "8 runs at once left $(($(history_lines) - n0)) lines"
hist_ok || fail "runs at once left a line that is not JSON: $(tail -n 2 /tmp/hist.err)"
n0=$(history_lines)
zidavoveva_crond --restart >/dev/null 2>&1 &
killed=$!
sleep 0.3
kill -9 $killed
wait $killed 2>/dev/null
[ "$(history_lines)" -eq "$n0" ] || fail "a run killed by SIGKILL left a line: $(tail -n 1 $hist)"
run zidavoveva_crond --restart
expect_rc 0 "a restart after a run killed by SIGKILL"
[ "$(history_lines)" -eq $((n0 + 1)) ] && hist_ok "l['succeeded'] and l['running']" ||
    fail "the restart after the killed run: $(tail -n 1 $hist)"
SSH_CONNECTION="192.0.2.7 50022 198.51.100.1 22" bash -c 'env -u SSH_CONNECTION -u SSH_CLIENT zidavoveva_crond --reload >/dev/null 2>&1; true'
hist_ok "l['ssh_client'] == '192.0.2.7' and l['action'] == 'reload'" ||
    fail "a caller's SSH session is not named: $(tail -n 1 $hist)"
if command -v ssh >/dev/null && [ -f /run/e2e-key ]; then
    run startsshd
    ssh -i /run/e2e-key -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null \
        root@127.0.0.1 'zidavoveva_crond --reload' >/run/e2e-ssh.out 2>&1 ||
        fail "a reload over SSH: $(cat /run/e2e-ssh.out)"
    hist_ok "l['ssh_client'] == '127.0.0.1'" || fail "a run over SSH does not name its client: $(tail -n 1 $hist)"
    note "a run over SSH: $(tail -n 1 $hist | /usr/bin/python3 -c 'import json,sys; l=json.load(sys.stdin); print(l["ssh_client"], l["login_uid"], l["login_user"], l["parent"])')"
    run stopsshd
fi
run zidavoveva_service --history crond --limit=3
expect_rc 0 "--history crond"
[ "$(grep -c ' crond ' <<<"$out")" -eq 3 ] || fail "--history --limit=3 does not show 3 runs: $out"
expect_out "^TIME +BY +SERVICE" "--history's header"
run zidavoveva_service --history --json --since="$(date +%F)"
expect_rc 0 "--history --json"
[ "$(grep -c '"type":"history"' <<<"$out")" -ge 12 ] || fail "--history --json --since today: ${out:0:600}"
expect_out '"action":"history"' "--history's result record"
out=$(as_nobody zidavoveva_service --history 2>&1) && fail "--history as nobody succeeded: $out"
grep -q "root's to read" <<<"$out" || fail "--history as nobody: $out"
n0=$(history_lines)
run zidavoveva_crond --status
run zidavoveva_service --list
[ "$(history_lines)" -eq "$n0" ] || fail "a question or a listing left a line in the history"
run stopcrond

# --- dry runs ------------------------------------------------------------------------
# A dry run says what the run would do and changes nothing (the daemon's pid,
# the tool's files, no suspension, no lock); the real run that follows does
# what it said.
note "dry runs: the plan, and the run that follows"
dry_marker=/run/e2e-dry-marker
# dry ARGS...: runs the program with --dry-run; fails when it wrote a file.
dry() {
    touch "$dry_marker"
    run "$@" --dry-run
    local changed
    changed=$(find /var/log/zidavoveva /var/tavrel /var/cache/tavrel /run/zidavoveva /etc/tavrel \
        -newer "$dry_marker" 2>/dev/null)
    [ -z "$changed" ] || fail "the dry run $* changed: $changed"
}
run startcrond
pid1=$(main_pid cron /run/crond.pid)
n0=$(history_lines)
dry zidavoveva_crond --restart
expect_rc 0 "a dry restart of cron"
expect_out "Its run locks are free" "the plan says the locks are free"
expect_out "It would keep the service monitor from starting “crond”" "the plan names the suspension"
expect_out "It would stop “crond” .*pid $pid1 \(" "the plan names cron's pid"
expect_out "It would start “crond”" "the plan starts cron"
expect_out "Dry run: the restart of “crond” would go ahead" "the plan's closing line"
[ "$(main_pid cron /run/crond.pid)" = "$pid1" ] || fail "the dry run restarted cron"
[ "$(history_lines)" -eq "$n0" ] || fail "the dry run left a line in the history"
run zidavoveva_service crond --restart --dry-run --json
/usr/bin/python3 -c '
import json, sys
records = [json.loads(x) for x in sys.stdin.read().splitlines()]
steps = [r["contents"]["step"] for r in records if r["type"] == "plan"]
assert steps[:3] == ["backend", "lock", "checks"] and "stop" in steps and steps[-1] == "start", steps
stop = [r["contents"]["facts"] for r in records if r["type"] == "plan" and r["contents"]["step"] == "stop"][0]
assert int(sys.argv[1]) in [p["pid"] for p in stop["processes"]], stop
last = records[-1]["contents"]
assert records[-1]["type"] == "result" and last["action"] == "plan" and last["succeeded"] and not last["done"], last
' "$pid1" <<<"$out" 2>/tmp/dry.err || fail "a dry run's records: $(tail -n 2 /tmp/dry.err) (stdout: ${out:0:600})"
run zidavoveva_crond --restart
expect_rc 0 "the restart after its dry run"
kill -0 "$pid1" 2>/dev/null && fail "the process the plan named ($pid1) outlived the restart"
pid1=$(main_pid cron /run/crond.pid)
# Another run holds the lock: the plan says who, and takes nothing.
flock /run/zidavoveva/lock/crond sleep 30 &
holder=$!
sleep 0.3
dry stopcrond
expect_rc 0 "a dry stop while another run holds the lock"
expect_out "Its run lock is held \(process [0-9]+: (flock|sleep)" "the plan names the holder of the lock"
kill "$holder" 2>/dev/null
wait "$holder" 2>/dev/null
[ "$(main_pid cron /run/crond.pid)" = "$pid1" ] || fail "the dry stop stopped cron"
run stopcrond
expect_rc 0 "the stop after its dry run"
dry stopcrond
expect_rc 0 "a dry stop of a stopped cron"
expect_out "not running; nothing was done" "a dry stop of a stopped cron says there is nothing to do"

# A broken configuration: the plan fails with the test's words, as the run does.
run startsshd
pid1=$(main_pid ssh /run/sshd.pid)
dry zidavoveva_sshd
expect_rc 0 "a dry restart of sshd"
expect_out "Its configuration passes “/usr/sbin/sshd -t" "the plan runs sshd's configuration test"
echo "NoSuchDirective yes" >>/etc/ssh/sshd_config
dry zidavoveva_sshd
[ "$rc" = 255 ] || fail "a dry restart of sshd with a broken configuration: status $rc"
grep -q "NoSuchDirective" <<<"$out$err" || fail "the dry run does not show what sshd -t said: $out $err"
expect_out "would fail" "the dry run's closing line"
run zidavoveva_sshd
[ "$rc" = 255 ] || fail "the restart after the dry run with a broken configuration: status $rc"
[ "$(main_pid ssh /run/sshd.pid)" = "$pid1" ] || fail "sshd was touched by its dry or real restart"
sed -i '/^NoSuchDirective/d' /etc/ssh/sshd_config
run stopsshd

# --- definitions, failures and exit statuses ----------------------------------------
note "definitions and exit statuses"
mkdir -p /etc/zidavoveva/services
cat >/etc/zidavoveva/services/Failingd.json <<'JSON'
{
  "is_enabled": true,
  "is_tavrel_service": true,
  "service_binary": "/bin/sh",
  "startup_args": ["-c", "echo failingd-cannot-bind-its-port; exit 3"],
  "pidfile": "/run/failingd.pid",
  "startup_timeout": 1
}
JSON
run zidavoveva_service failingd
expect_rc 255 "failing start at verbosity 1"
expect_out "StartError" "failing start names its failure class"
expect_out "failingd-cannot-bind-its-port" "failing start shows its startup log"
run zidavoveva_service --no-verbose failingd
[ "$rc" != 0 ] || fail "failing start without verbosity must fail"
expect_err "failingd" "failing start text on stderr"

cat >/etc/zidavoveva/services/Ghostd.json <<'JSON'
{ "service_package": ["zidavoveva-no-such-package"], "is_tavrel_service": true, "is_enabled": true,
  "service_binary": "/usr/sbin/zidavoveva-ghostd", "pidfile": "/run/ghostd.pid" }
JSON
run zidavoveva_service ghostd --skip-if-absent
expect_rc 0 "--skip-if-absent for a service that is not installed"
run zidavoveva_service ghostd
[ "$rc" != 0 ] || fail "a service that is not installed must fail without --skip-if-absent"

cat >/etc/zidavoveva/services/Broken.json <<'JSON'
{
  "pidfile": "/run/broken.pid",
  "pidfle": "/run/broken.pid"
}
JSON
run zidavoveva_service --status broken
expect_err "Broken.json line 3: unknown attribute" "a broken definition is reported with file and line"

cat >/etc/zidavoveva/services/Slowd.json <<'JSON'
{ "is_enabled": true, "is_tavrel_service": true, "service_binary": "/bin/sleep", "startup_args": ["30"],
  "pidfile": "/run/slowd.pid" }
JSON
zidavoveva_service slowd >/dev/null 2>&1 & s=$!
sleep 1
kill -TERM $s
wait $s; rc=$?
[ "$rc" = 143 ] || fail "TERM must end a run with 143, got $rc"
pkill -x sleep

# --- the project's test daemon, described by an administrator's definitions ------
# The program keeps its own name (zidavoveva_testd): the status check must know
# it by its pid file and its program, although its command line reads like
# this tool's. The definitions leave "is_enabled" out: a service an
# administrator added is switched by its flag files like any other.
. "$lib/testd.sh"
testd_install "$build"
systemd_mode=false
[ -d /run/systemd/system ] && systemd_mode=true
port=$(free_port) || fail "no free port found"
# Warnings go to the error log when no terminal is attached.
error_log=/var/log/zidavoveva/error_log
: >"$error_log"

note "test daemon: start, status, restart"
testd_define ztestd '"hot": true, "ports": ['"$port"'],' '"--listen", "'"$port"'",'
start=$SECONDS
run zidavoveva_service ztestd
expect_rc 0 "restart of a stopped ztestd"
expect_out "“ztestd” was started" "a restart of a stopped service says it was started"
[ $((SECONDS - start)) -lt 15 ] || fail "ztestd took $((SECONDS - start)) s to come up"
pid1=$(testd_pid ztestd)
testd_up ztestd || fail "ztestd is not up after its start"
run zidavoveva_service --status ztestd
expect_rc 0 "--status of a running ztestd"
expect_out "PID ${pid1:-none}" "--status names the daemon's pid"
run zidavoveva_service ztestd --no-graceful
expect_rc 0 "full restart of a running ztestd"
expect_out "“ztestd” was restarted" "a restart of a running service says it was restarted"
pid2=$(testd_pid ztestd)
[ -n "$pid2" ] && [ "$pid2" != "$pid1" ] || fail "a full restart gave no new pid ($pid1 -> $pid2)"

note "test daemon: graceful restart"
: >/run/ztestd.record
stamp=$(stat -c %Y /run/ztestd.pid)
sleep 1.1
run zidavoveva_service ztestd --graceful
expect_rc 0 "graceful restart"
expect_out "gracefully" "the graceful restart is announced"
expect_out "“ztestd” was restarted" "graceful restart success line"
[ "$(testd_pid ztestd)" = "$pid2" ] || fail "the graceful restart changed the pid ($pid2 -> $(testd_pid ztestd))"
[ "$(stat -c %Y /run/ztestd.pid)" != "$stamp" ] || fail "the graceful restart did not rewrite the pid file"
grep -q "^[0-9.]* $pid2 restart$" /run/ztestd.record || fail "the daemon got no USR1: $(cat /run/ztestd.record)"
grep -q " stop$" /run/ztestd.record && fail "the graceful restart stopped the daemon: $(cat /run/ztestd.record)"
listening "$port" || fail "ztestd stopped listening across its graceful restart"

note "test daemon: a foreign process on the service's port"
run zidavoveva_service ztestd --stop
expect_rc 0 "stop of ztestd"
testd_up ztestd && fail "ztestd still runs after its stop"
"$TESTD" --name foreign --listen "$port" >/dev/null 2>&1 &
foreign=$!
for _ in $(seq 50); do listening "$port" && break; sleep 0.05; done
listening "$port" || fail "the foreign process does not listen on $port"
dry zidavoveva_service ztestd
expect_rc 0 "a dry start with a foreign process on the port"
expect_out "it would end what holds it: pid $foreign \(" "the plan names the process on the port"
kill -0 "$foreign" 2>/dev/null || fail "the dry run ended the foreign process on the port"
run zidavoveva_service ztestd
expect_rc 0 "a start with a foreign process on the port"
gone "$foreign" || fail "the foreign process on port $port was not killed"
wait "$foreign" 2>/dev/null
testd_up ztestd || fail "ztestd is not up after the foreign process was killed"
grep -q "“ztestd” service failed to start" "$error_log" ||
    fail "the first attempt did not fail on the taken port: $(tail -3 "$error_log")"

note "test daemon: runs killed by SIGKILL mid-restart"
for i in 1 2 3; do
    reset_start_limit ztestd
    zidavoveva_service ztestd --no-graceful >/dev/null 2>&1 &
    victim=$!
    sleep "0.$((2 * i))"
    kill -KILL "$victim" 2>/dev/null
    wait "$victim" 2>/dev/null
    start=$SECONDS
    run zidavoveva_service ztestd --no-graceful
    expect_rc 0 "restart after a run killed mid-restart ($i)"
    [ $((SECONDS - start)) -lt 20 ] || fail "the run after a killed one waited $((SECONDS - start)) s"
    testd_up ztestd || fail "ztestd is not up after the run that followed a killed one ($i)"
done
[ "$(testd_processes ztestd | wc -w)" = 1 ] || fail "more than one ztestd runs: $(testd_processes ztestd)"

note "test daemon: disabled while running"
mkdir -p /etc/tavrel/disabled
touch /etc/tavrel/disabled/ztestd.disable
running_before=$(testd_processes ztestd)
dry zidavoveva_service ztestd
[ "$rc" = 255 ] || fail "a dry restart of a disabled running service: status $rc"
expect_out "Enabled: no" "the plan says the service is disabled"
expect_out "It would stop “ztestd” because it is disabled" "the plan says what the run would do"
[ "$(testd_processes ztestd)" = "$running_before" ] || fail "the dry run touched the disabled service"
run zidavoveva_service ztestd
[ "$rc" != 0 ] || fail "a restart of a disabled running service must fail"
expect_err "disabled" "the failure says the service is disabled"
sleep 0.2
[ -z "$(testd_processes ztestd)" ] || fail "the disabled service still runs: $(testd_processes ztestd)"
run zidavoveva_service ztestd
[ "$rc" != 0 ] || fail "a restart of a disabled stopped service must fail"
[ -z "$(testd_processes ztestd)" ] || fail "a disabled service was started"
rm -f /etc/tavrel/disabled/ztestd.disable

note "test daemon: outside the role profile"
# The DNS role governs the word "bind"; an administrator switches the role off.
testd_define bind
run zidavoveva_service bind
expect_rc 0 "start of bind while its role is on"
testd_up bind || fail "bind is not up"
mkdir -p /etc/tavrel/roles.disabled
touch /etc/tavrel/roles.disabled/dns
run zidavoveva_service bind
[ "$rc" != 0 ] || fail "a restart of a running service outside the role profile must fail"
grep -Eqi "role" <<<"$out$err" || fail "the refusal does not name the role profile: $out $err"
sleep 0.2
[ -z "$(testd_processes bind)" ] || fail "the service outside the role profile still runs"
run zidavoveva_service bind
[ "$rc" != 0 ] || fail "a start of a service outside the role profile must be refused"
[ -z "$(testd_processes bind)" ] || fail "a service outside the role profile was started"
rm -f /etc/tavrel/roles.disabled/dns
testd_kill_all bind

note "test daemon: a pid file that is never written"
testd_define zslowd '' '"--pidfile-delay", "600",'
sed -i 's/"startup_timeout": 5/"startup_timeout": 2/' "$TESTD_DEFS/Zslowd.json"
start=$SECONDS
run zidavoveva_service zslowd
took=$((SECONDS - start))
[ "$rc" != 0 ] || fail "a daemon that never writes its pid file must fail"
expect_out "StartError" "the failure is a start failure"
grep -q "“zslowd” did not write its pid file /run/zslowd.pid within 2 seconds" "$error_log" ||
    fail "the error log does not say why the start failed: $(tail -3 "$error_log")"
[ "$took" -ge 2 ] && [ "$took" -lt 20 ] || fail "the start gave up after $took s (startup_timeout 2)"
testd_kill_all zslowd

note "test daemon: a restart whose start fails"
testd_define zbrokend '' '"--config", "/run/zbrokend.conf",'
: >/run/zbrokend.conf
run zidavoveva_service zbrokend
expect_rc 0 "start of zbrokend"
echo "no-such-option" >/run/zbrokend.conf
run zidavoveva_service zbrokend
[ "$rc" != 0 ] || fail "a restart whose start fails must fail"
expect_out "and starting it \\. failed" "the progress line says the start failed, not the stop"
! grep -q "is running" <<<"$out" || fail "the summary of the failed restart says the daemon runs: $out"
expect_out "unknown option" "the startup log says why"
testd_kill_all zbrokend

note "test daemon: a daemon that ignores TERM"
testd_define ztermd '' '"--ignore-term",'
run zidavoveva_service ztermd
expect_rc 0 "start of ztermd"
termpid=$(testd_pid ztermd)
run zidavoveva_service ztermd --stop
expect_rc 0 "stop of a daemon that ignores TERM"
expect_out "“ztermd” was stopped" "stop success line"
grep -q "of “ztermd” did not end within .* seconds of SIGTERM; it gets SIGKILL" "$error_log" ||
    fail "the escalation is not in the error log: $(tail -3 "$error_log")"
gone "${termpid:-0}" || fail "the daemon that ignores TERM still runs"
[ -z "$(testd_processes ztermd)" ] || fail "processes of ztermd are left: $(testd_processes ztermd)"
grep -q "term-ignored" /run/ztermd.record || fail "the daemon never saw TERM"

run zidavoveva_service ztestd --stop
testd_kill_all ztestd

# --- systemd: a unit whose commands run this program ------------------------------
if $systemd_mode; then
    note "a unit whose start and stop commands run this program"
    ln -sf zidavoveva_base /usr/local/sbin/startzunitd
    ln -sf zidavoveva_base /usr/local/sbin/stopzunitd
    # The daemon stays in the foreground: the unit's start command becomes it.
    cat >"$TESTD_DEFS/Zunitd.json" <<JSON
{
  "is_tavrel_service": true,
  "service_binary": "$TESTD",
  "startup_args": ["--name", "zunitd", "--pidfile", "/run/zunitd.pid", "--record", "/run/zunitd.record"],
  "pidfile": "/run/zunitd.pid"
}
JSON
    cat >/run/systemd/system/zunitd.service <<'UNIT'
[Unit]
Description=test daemon started and stopped by the service control program

[Service]
Type=simple
ExecStart=/usr/local/sbin/startzunitd --systemd-unit-command
ExecStop=/usr/local/sbin/stopzunitd --systemd-service=zunitd.service
UNIT
    systemctl daemon-reload
    unit_main() { systemctl show -p MainPID --value zunitd; }
    wait_inactive() {
        for _ in $(seq 100); do
            case $(systemctl is-active zunitd) in inactive | failed) return 0 ;; esac
            sleep 0.05
        done
        return 1
    }
    systemctl start zunitd || fail "systemctl start of a unit whose start command runs this program"
    for _ in $(seq 100); do testd_up zunitd && break; sleep 0.05; done
    main=$(unit_main)
    [ "$(readlink "/proc/$main/exe")" = "$TESTD" ] ||
        fail "the unit's main process runs $(readlink "/proc/$main/exe"), not the daemon launched in place"
    [ "$(awk '/^PPid:/ {print $2}' "/proc/$main/status")" = 1 ] || fail "the daemon's parent is not pid 1"
    # This program ignores SIGPIPE; the daemon it became must not.
    sigign=$(awk '/^SigIgn:/ {print $2}' "/proc/$main/status")
    [ $((0x$sigign & 0x1000)) = 0 ] || fail "the daemon launched in place ignores SIGPIPE (SigIgn $sigign)"
    [ "$(testd_pid zunitd)" = "$main" ] || fail "the pid file ($(testd_pid zunitd)) is not the unit's main pid ($main)"
    run zidavoveva_service --status zunitd
    expect_rc 0 "--status of the unit's daemon"
    expect_out "PID $main" "--status names the unit's main pid"
    systemctl stop zunitd || fail "systemctl stop of a unit whose stop command runs this program"
    wait_inactive || fail "the unit did not stop"
    gone "$main" || fail "the unit's daemon still runs after systemctl stop"
    [ "$(systemctl show -p Result --value zunitd)" = success ] ||
        fail "the unit's stop did not succeed: $(systemctl status zunitd 2>&1 | tail -5)"
    grep -q " stop$" /run/zunitd.record || fail "the daemon was not stopped by TERM: $(cat /run/zunitd.record)"

    note "systemd stopping the unit itself"
    # A daemon that ends by TERM (its default action): systemd then runs the
    # stop command while it deactivates the unit, with nothing left to do;
    # the command must say so and end with 0 at once.
    cat >"$TESTD_DEFS/Zunitd.json" <<'JSON'
{ "is_tavrel_service": true, "service_binary": "/bin/sleep", "startup_args": ["600"] }
JSON
    reset_start_limit zunitd
    : >"$error_log"
    systemctl start zunitd
    for _ in $(seq 100); do [ "$(readlink "/proc/$(unit_main)/exe")" = /usr/bin/sleep ] && break; sleep 0.05; done
    main=$(unit_main)
    start=$SECONDS
    systemctl kill --kill-whom=main --signal=TERM zunitd
    wait_inactive || fail "the unit did not stop after its daemon got TERM"
    [ $((SECONDS - start)) -lt 5 ] || fail "the unit's stop command took $((SECONDS - start)) s"
    grep -q "systemd is already stopping “zunitd.service” (its main process got SIGTERM)" "$error_log" ||
        fail "the stop command did not see that systemd was stopping the unit: $(tail -3 "$error_log")"
    systemctl show -p ExecStop zunitd | grep -q "status=0/0" ||
        fail "the stop command did not end with 0: $(systemctl show -p ExecStop zunitd)"
    [ "$(systemctl show -p Result --value zunitd)" = success ] ||
        fail "the unit's stop failed: $(systemctl status zunitd 2>&1 | tail -5)"
    gone "$main" || fail "the daemon survived its TERM"
    rm -f /run/systemd/system/zunitd.service
    systemctl daemon-reload
fi

# --- systemd: the test daemon under units of its own --------------------------------
# The same service words the init-script way would take, but with units: the
# core goes through systemctl, and systemd escalates a stop itself.
if $systemd_mode; then
    note "test daemon under its own unit"
    port2=$(free_port) || fail "no free port found"
    cat >/run/systemd/system/zsdd.service <<UNIT
[Service]
Type=forking
PIDFile=/run/zsdd.pid
ExecStart=$TESTD --daemonize --name zsdd --pidfile /run/zsdd.pid --record /run/zsdd.record --listen $port2
UNIT
    cat >/run/systemd/system/zsdtermd.service <<UNIT
[Service]
Type=forking
PIDFile=/run/zsdtermd.pid
ExecStart=$TESTD --daemonize --ignore-term --name zsdtermd --pidfile /run/zsdtermd.pid --record /run/zsdtermd.record
TimeoutStopSec=2
UNIT
    systemctl daemon-reload
    cat >"$TESTD_DEFS/Zsdd.json" <<JSON
{ "hot": true, "ports": [$port2], "service_binary": "$TESTD", "pidfile": "/run/zsdd.pid" }
JSON
    cat >"$TESTD_DEFS/Zsdtermd.json" <<JSON
{ "service_binary": "$TESTD", "pidfile": "/run/zsdtermd.pid" }
JSON
    run zidavoveva_service zsdd
    expect_rc 0 "restart of a stopped unit"
    main=$(systemctl show -p MainPID --value zsdd)
    run zidavoveva_service --status zsdd
    expect_rc 0 "--status of the unit"
    expect_out "PID $main .*systemd" "--status names the unit's main pid, found through systemd"
    run zidavoveva_service zsdd --graceful
    expect_rc 0 "graceful restart of the unit's daemon"
    [ "$(systemctl show -p MainPID --value zsdd)" = "$main" ] || fail "the graceful restart changed the unit's main pid"
    grep -q "^[0-9.]* $main restart$" /run/zsdd.record || fail "the unit's daemon got no USR1"
    run zidavoveva_service zsdd --stop
    expect_rc 0 "stop of the unit"
    [ "$(systemctl is-active zsdd)" != active ] || fail "the unit is still active after its stop"
    "$TESTD" --name foreign2 --listen "$port2" >/dev/null 2>&1 &
    foreign=$!
    for _ in $(seq 50); do listening "$port2" && break; sleep 0.05; done
    reset_start_limit zsdd
    run zidavoveva_service zsdd
    expect_rc 0 "a unit's start with a foreign process on its port"
    gone "$foreign" || fail "the foreign process on the unit's port was not killed"
    wait "$foreign" 2>/dev/null
    [ "$(systemctl is-active zsdd)" = active ] || fail "the unit is not active after the foreign process was killed"
    run zidavoveva_service zsdd --stop

    run zidavoveva_service zsdtermd
    expect_rc 0 "start of a unit whose daemon ignores TERM"
    main=$(systemctl show -p MainPID --value zsdtermd)
    run zidavoveva_service zsdtermd --stop
    expect_rc 0 "stop of a unit whose daemon ignores TERM"
    gone "${main:-0}" || fail "the unit's daemon that ignores TERM still runs"
    [ -z "$(testd_processes zsdtermd)" ] || fail "processes of zsdtermd are left: $(testd_processes zsdtermd)"
    grep -q "term-ignored" /run/zsdtermd.record || fail "the unit's daemon never saw TERM"
    rm -f /run/systemd/system/zsdd.service /run/systemd/system/zsdtermd.service
    systemctl daemon-reload
fi

if [ "$failures" -gt 0 ]; then
    echo "$failures expectation(s) failed" >&2
    exit 1
fi
echo "all expectations met"
