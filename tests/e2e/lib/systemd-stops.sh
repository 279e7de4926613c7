#!/usr/bin/env bash
# Inside a machine booted by systemd (never on the host): stops and restarts
# of units that systemd starts again on demand, of units still starting, and
# systemctl calls that would wait for ever. Run by tests/e2e/checks/systemd-stops as
#   systemd-stops.sh E2E_DIR BUILD_DIR -- PACKAGE...
set -uo pipefail

e2e=$1 build=$2
shift 2
[ "${1:-}" = -- ] && shift
failures=0
errfile=/run/systemd-stops.stderr
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
note() { echo "--- $*"; }
# What the last run printed, indented, for the record of the check.
show() { printf '%s\n' "$out" | sed 's/^/    /'; }
run() {
    local began=$SECONDS
    out=$("$@" 2>"$errfile") && rc=0 || rc=$?
    err=$(cat "$errfile")
    took=$((SECONDS - began))
}
expect_rc() {
    [ "$rc" = "$1" ] || fail "$2: status $rc, expected $1 (stdout: ${out:0:800}) (stderr: ${err:0:400})"
}
expect_out() {
    grep -Eq -- "$1" <<<"$out" || fail "$2: stdout lacks /$1/ (stdout: ${out:0:800}) (stderr: ${err:0:400})"
}
prop() { systemctl show -p "$2" --value "$1"; }
# wait_for UNIT PROPERTY VALUE: up to 10 s for systemd to say so.
wait_for() {
    for _ in $(seq 100); do
        [ "$(prop "$1" "$2")" = "$3" ] && return 0
        sleep 0.1
    done
    fail "$1 never reached $2=$3 (it is $(prop "$1" ActiveState) ($(prop "$1" SubState)))"
    return 1
}

. "$e2e/lib/debs.sh"
. "$e2e/lib/testd.sh"
install_debs_in_sandbox "$@" || exit 1
rm -f /usr/sbin/policy-rc.d
cmake --install "$build" >/dev/null || { echo "cannot install the program" >&2; exit 1; }
export PATH=/usr/local/sbin:$PATH
testd_install "$build"

# unit_with_daemon WORD UNIT-TEXT: the test daemon installed as the program
# of WORD, a unit WORD.service, and a definition that tells the tool its program.
unit_with_daemon() {
    install -m 755 "$TESTD" "/usr/local/sbin/$1"
    printf '%s\n' "$2" >"/run/systemd/system/$1.service"
    local module
    module="$(tr '[:lower:]' '[:upper:]' <<<"${1:0:1}")${1:1}"
    printf '{"service_binary": "/usr/local/sbin/%s"%s}\n' "$1" "${3:-}" >"$TESTD_DEFS/$module.json"
}

# --- a restart of the system logger, which its socket starts again -----------
note "rsyslog and syslog.socket"
systemctl daemon-reload
run startrsyslogd
expect_rc 0 "the first start of rsyslogd"
old=$(prop rsyslog MainPID)
# Messages keep coming while the restart runs (the journal forwards systemd's
# own "Stopping..." too): the socket starts the logger as soon as it is stopped.
(while :; do logger -u /run/systemd/journal/syslog -t e2e "tick" 2>/dev/null; sleep 0.05; done) &
talker=$!
for how in zidavoveva_rsyslogd startrsyslogd; do
    run $how
    show
    expect_rc 0 "$how while messages come in"
    expect_out "was restarted" "$how says it restarted the logger"
    new=$(prop rsyslog MainPID)
    [ "${new:-0}" -gt 1 ] && [ "$new" != "$old" ] ||
        fail "$how: rsyslogd does not run under a new pid ($old before, ${new:-none} after)"
    [ "$(prop rsyslog ActiveState)" = active ] || fail "$how: rsyslog.service is not active"
    [ "$(prop syslog.socket ActiveState)" = active ] || fail "$how left syslog.socket stopped"
    old=$new
done
# A stop still lasts, messages or not.
run stoprsyslogd
expect_rc 0 "the stop of rsyslogd while messages come in"
sleep 0.5
pgrep -x rsyslogd >/dev/null && fail "rsyslogd runs again after its stop: $(pgrep -x rsyslogd)"
kill "$talker"; wait "$talker" 2>/dev/null

# --- the same with a unit of our own and its socket --------------------------
note "a unit started by its socket"
port=$(free_port) || { echo "no free port" >&2; exit 1; }
cat >/run/systemd/system/zsock.socket <<UNIT
[Socket]
ListenStream=127.0.0.1:$port
UNIT
unit_with_daemon zsock "[Unit]
Requires=zsock.socket
After=zsock.socket
[Service]
ExecStart=/usr/local/sbin/zsock --name zsock"
systemctl daemon-reload
run zidavoveva_service zsock
expect_rc 0 "the first start of zsock"
old=$(prop zsock.service MainPID)
# A connection the daemon never takes: systemd starts it again the moment the
# old one has stopped, as rsyslog's socket does at the next message.
(exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || fail "zsock.socket does not listen on $port"
run zidavoveva_service zsock
show
expect_rc 0 "a restart of zsock that its socket starts again"
expect_out "was restarted" "the restart of zsock says so"
new=$(prop zsock.service MainPID)
[ "${new:-0}" -gt 1 ] && [ "$new" != "$old" ] ||
    fail "zsock does not run under a new pid after its restart ($old before, ${new:-none} after)"
[ "$(prop zsock.socket ActiveState)" = active ] || fail "the restart of zsock left its socket stopped"
run zidavoveva_service zsock --stop
expect_rc 0 "the stop of zsock"
listening "$port" && fail "zsock.socket still listens after the stop"
sleep 0.3
[ -z "$(testd_processes zsock)" ] || fail "zsock runs after its stop: $(testd_processes zsock)"

# --- a stop of a unit that is still starting ----------------------------------
note "units still starting"
unit_with_daemon zslow "[Service]
ExecStartPre=/bin/sleep 301
ExecStart=/usr/local/sbin/zslow --name zslow"
unit_with_daemon zcrash "[Service]
ExecStart=/usr/local/sbin/zcrash --name zcrash --fail boom
Restart=always
RestartSec=300"
systemctl daemon-reload
systemctl start --no-block zslow.service
wait_for zslow.service SubState start-pre
systemctl start zcrash.service
wait_for zcrash.service SubState auto-restart
for word in zslow zcrash; do
    before="$(prop $word.service ActiveState) ($(prop $word.service SubState))"
    run zidavoveva_service $word --stop
    echo "$word was $before:"; show
    expect_rc 0 "the stop of $word, $before"
    expect_out "was stopped" "the stop of $word, $before, says so"
    grep -q "not running" <<<"$out" && fail "the stop of $word, $before, says it is not running: $out"
    state="$(prop $word.service ActiveState) ($(prop $word.service SubState))"
    case $state in
        "inactive (dead)" | "failed (failed)") ;;
        *) fail "$word is $state after its stop, $before before" ;;
    esac
    systemctl list-jobs --no-legend | grep -q "$word" && fail "$word still has a job: $(systemctl list-jobs)"
done
pgrep -f "sleep 301" >/dev/null && fail "the start of zslow still runs after its stop"

# --- systemctl calls that would wait for ever ----------------------------------
note "bounded systemctl calls"
# A oneshot unit has no start time-out: its start never ends. The administrator
# allows 3 seconds.
unit_with_daemon zhang "[Service]
Type=oneshot
ExecStart=/usr/local/sbin/zhang --name zhang" ', "command_timeout": 3'
unit_with_daemon zhangstop "[Service]
ExecStart=/usr/local/sbin/zhangstop --name zhangstop
ExecStop=/bin/sleep 302
TimeoutStopSec=infinity" ', "command_timeout": 3'
systemctl daemon-reload
run timeout 60 zidavoveva_service zhang
show
expect_rc 255 "a start that systemd never finishes"
[ "$took" -le 10 ] || fail "the start of zhang took $took s, bound at 3"
expect_out "within 3 seconds" "the start of zhang says how long it waited"
expect_out "activating \(start\)" "the start of zhang says what state the unit is in"
grep -q "^Starting zhang \. failed$" <<<"$out" ||
    fail "the start of zhang does not end its progress line with its failure: $out"
systemctl stop zhang.service

systemctl start zhangstop.service
run timeout 60 zidavoveva_service zhangstop --stop
show
expect_rc 255 "a stop that systemd never finishes"
[ "$took" -le 10 ] || fail "the stop of zhangstop took $took s, bound at 3"
expect_out "within 3 seconds" "the stop of zhangstop says how long it waited"
expect_out "deactivating \(stop\)" "the stop of zhangstop says what state the unit is in"
grep -q "was stopped" <<<"$out" && fail "the stop of zhangstop says it was stopped: $out"
grep -q "^Stopping zhangstop \. failed$" <<<"$out" ||
    fail "the stop of zhangstop does not end its progress line with its failure: $out"
systemctl kill --signal=KILL zhangstop.service

# --- a unit being stopped whose daemon has not ended yet ---------------------
# (found by the chaos campaign: "down" while the daemon, deaf to TERM, ran on
# until systemd's stop time-out)
note "the status of a unit being stopped"
unit_with_daemon zdeaf "[Service]
ExecStart=/usr/local/sbin/zdeaf --name zdeaf --ignore-term
TimeoutStopSec=6"
systemctl daemon-reload
systemctl start zdeaf.service
pid=$(prop zdeaf.service MainPID)
systemctl --no-block stop zdeaf.service
wait_for zdeaf.service ActiveState deactivating
run zidavoveva_service zdeaf --status
show
expect_rc 0 "the status of zdeaf while systemd stops it"
expect_out "PID $pid" "the status of zdeaf names the daemon that still runs"
systemctl kill --signal=KILL zdeaf.service
wait_for zdeaf.service ActiveState failed
run zidavoveva_service zdeaf --status
expect_rc 255 "the status of zdeaf once it ended"

if [ "$failures" -gt 0 ]; then
    echo "systemd-stops: $failures failed expectation(s)" >&2
    exit 1
fi
echo "systemd-stops: all passed"
