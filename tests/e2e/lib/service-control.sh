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
    cron openssh-server nscd rsyslog >/tmp/apt.log 2>&1 || { cat /tmp/apt.log >&2; exit 1; }
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
run zidavoveva_service crond --no-verbose
expect_rc 0 "restart of a running crond by the generic name"
pid2=$(main_pid cron /run/crond.pid)
[ "${pid2:-0}" -gt 1 ] && [ "$pid2" != "$pid1" ] || fail "restart gave no new main pid ($pid1 -> $pid2)"
run zidavoveva_crond --reload
expect_rc 0 "reload of crond (it cannot reload: nothing is done)"
run stopcrond
expect_rc 0 "stopcrond"
expect_out "was stopped" "stop success line"
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
    sleep 0.3
    # systemd starts the logger again through its socket whenever something logs.
    if [ "$word" != rsyslogd ] || [ ! -d /run/systemd/system ]; then
        no_process "$proc" || fail "$proc still runs after stop$word"
    fi
done

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

if [ "$failures" -gt 0 ]; then
    echo "$failures expectation(s) failed" >&2
    exit 1
fi
echo "all expectations met"
