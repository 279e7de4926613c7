#!/usr/bin/env bash
# Inside a sandbox (SysV or systemd): every run of the installed program with
# --json ends with one result record, and what it says is what happened.
# Run by tests/e2e/checks/result-record as
#   result-record.sh BUILD_DIR [--with-cron]
# (--with-cron: cron's package is installed, from the sandbox's downloads).
# Prints one line per failed expectation and exits 1 when any failed.
set -uo pipefail

build=$1
with_cron=${2:-}
lib=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
failures=0
errfile=/run/result-record.stderr
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
note() { echo "--- $*"; }
run() { out=$("$@" 2>"$errfile") && rc=0 || rc=$?; err=$(cat "$errfile"); }
seen() { echo "status $rc (stdout: ${out:0:900}) (stderr: ${err:0:300})"; }

# The result record of the last run: every line of its standard output is a
# JSON object, exactly one is a result record and it is the last line.
# Sets $result to its contents; fails with what was seen otherwise.
result=
read_result() {  # what was run
    result=
    local types
    if ! types=$(jq -r '.type' <<<"$out" 2>/dev/null); then
        fail "$1: standard output is not JSON lines: $(seen)"
        return 1
    fi
    if [ "$(grep -c '^result$' <<<"$types")" != 1 ] || [ "$(tail -n 1 <<<"$types")" != result ]; then
        fail "$1: not exactly one result record, last: $(seen)"
        return 1
    fi
    result=$(tail -n 1 <<<"$out" | jq -c '.contents')
}
# field NAME: one member of the record, as jq prints it compactly.
field() { jq -c ".$1" <<<"$result"; }
expect() {  # what was run, jq test on the record, what it means
    jq -e "$2" <<<"$result" >/dev/null || fail "$1: $3: record $result (stderr: ${err:0:300})"
}
# The members every record has, with their types.
expect_shape() {
    expect "$1" '(.succeeded|type)=="boolean" and (.status|type)=="number" and
        (.duration_ms|type)=="number" and .duration_ms >= 0 and (.succeeded == (.status == 0))' \
        "succeeded, status and duration_ms"
}

cmake --install "$build" >/dev/null || { echo "cannot install the program" >&2; exit 1; }
export PATH=/usr/local/sbin:$PATH
. "$lib/testd.sh"
testd_install "$build"
mode=sysv
[ -d /run/systemd/system ] && mode=systemd
note "result records under $mode"

# The status check's name search passes over the lowest pids, which a fresh
# sandbox hands out.
for _ in $(seq 400); do /bin/true; done

# --- a success: a start, then a restart of what runs -----------------------------
testd_define zrec
testd_kill_all zrec
run zidavoveva_service --json zrec
read_result "the start of zrec" && {
    expect_shape "the start of zrec"
    expect "the start of zrec" '.service=="zrec" and .action=="start" and .succeeded and .done and
        .status==0 and .running and .failure_class==null and .error_id==null and .message==null' \
        "a start that succeeded"
    [ "$(field pids)" = "[$(testd_pid zrec)]" ] ||
        fail "the start of zrec: pids $(field pids), the pid file names $(testd_pid zrec)"
}
[ "$rc" = 0 ] || fail "the start of zrec: $(seen)"
before=$(testd_pid zrec)
run zidavoveva_service --json --restart zrec
read_result "the restart of zrec" && {
    expect_shape "the restart of zrec"
    expect "the restart of zrec" '.action=="restart" and .succeeded and .running' "a restart that succeeded"
    now=$(testd_pid zrec)
    { [ -n "$now" ] && [ "$now" != "$before" ] && [ "$(field pids)" = "[$now]" ]; } ||
        fail "the restart of zrec: pids $(field pids), pid $before -> $now"
}
note "success: $(tail -n 1 <<<"$out")"

# --- a failed start ---------------------------------------------------------------
testd_define zbroken '' '"--fail", "zbroken: the configuration is broken", "--exit-code", "2",'
testd_kill_all zbroken
run zidavoveva_service --json zbroken
[ "$rc" = 255 ] || fail "the failed start of zbroken: $(seen)"
read_result "the failed start of zbroken" && {
    expect_shape "the failed start of zbroken"
    expect "the failed start of zbroken" '.service=="zbroken" and .action=="start" and
        (.succeeded|not) and (.done|not) and .status==255 and .running==false and .pids==[] and
        (.failure_class|test("^Tavrel::Exception::Services::[A-Za-z]+Error$")) and
        (.error_id|test("^[a-z0-9]{10}$")) and (.message|test("zbroken"))' \
        "a failed start, with its class and id"
    # The class line and the id are the ones the run showed.
    class=$(jq -r '.failure_class' <<<"$result")
    id=$(jq -r '.error_id' <<<"$result")
    shown=$(head -n -1 <<<"$out" | jq -r '.contents | strings')
    grep -qxF -- "$class" <<<"$shown" || fail "the failed start of zbroken: class line $class not shown: $(seen)"
    grep -qF -- "error id: $id" <<<"$shown" || fail "the failed start of zbroken: id $id not shown: $(seen)"
}
[ -z "$(testd_processes zbroken)" ] || fail "zbroken runs after its failed start: $(testd_processes zbroken)"
failed_start=$(tail -n 1 <<<"$out")
note "failed start: $failed_start"

# --- the status of a stopped service ------------------------------------------------
run zidavoveva_service --json --status zbroken
[ "$rc" = 255 ] || fail "the status of zbroken, stopped: $(seen)"
read_result "the status of zbroken" && {
    expect_shape "the status of zbroken"
    expect "the status of zbroken" '.service=="zbroken" and .action=="status" and (.succeeded|not) and
        .running==false and .pids==[] and .failure_class=="Tavrel::Exception::Services::IsDown" and
        (.error_id|test("^[a-z0-9]{10}$"))' "down, with no pid"
}
note "status of a stopped service: $(tail -n 1 <<<"$out")"
# And of one that runs, by a check: its pid.
run zidavoveva_service --json --check zrec
read_result "the check of zrec" &&
    expect "the check of zrec" ".action==\"check\" and .succeeded and .pids==[$(testd_pid zrec)]" \
        "running, with its pid"

# --- refused runs: nothing is done, the record is still last -------------------------
pid=$(testd_pid zrec)
untouched() {
    [ "$(testd_pid zrec)" = "$pid" ] && testd_up zrec || fail "$1 touched zrec: pid $pid -> $(testd_pid zrec)"
}
run zidavoveva_service --json --bogus zrec
[ "$rc" = 255 ] || fail "an unknown option: $(seen)"
read_result "an unknown option" && {
    [ "$(wc -l <<<"$out")" = 1 ] || fail "an unknown option: more than the record: $(seen)"
    expect_shape "an unknown option"
    expect "an unknown option" '.service==null and .action==null and (.succeeded|not) and
        .status==255 and .pids==null and .running==null and .failure_class==null and
        (.message|test("--bogus"))' "refused before the service was known"
}
untouched "an unknown option"
note "refused option: $(tail -n 1 <<<"$out")"
run zidavoveva_service --json nosuchd
read_result "an unknown service" &&
    expect "an unknown service" '.service=="nosuchd" and (.succeeded|not) and .pids==null and
        .failure_class=="Tavrel::Exception::Services::Unknown" and .error_id==null' \
        "refused as unknown, without an id"
# Not root: refused once the service is known, so it was looked at (by the
# status check as that account sees it: a root daemon's pid file is not
# confirmed for another account, so that look reads "down").
run setpriv --reuid=nobody --regid=nogroup --clear-groups -- \
    /usr/local/sbin/zidavoveva_service --json --stop zrec
read_result "a stop by nobody" && {
    expect_shape "a stop by nobody"
    expect "a stop by nobody" '.service=="zrec" and .action=="stop" and (.succeeded|not) and
        .status==255 and (.pids|type)=="array" and (.message|test("Only root"))' "refused"
}
untouched "a stop by nobody"
note "not root: $(tail -n 1 <<<"$out")"

# --- a stop: nothing runs afterwards -------------------------------------------------
run zidavoveva_service --json --stop zrec
read_result "the stop of zrec" &&
    expect "the stop of zrec" '.action=="stop" and .succeeded and .done and .running==false and
        .pids==[] and .message==null' "stopped, no pid"
testd_up zrec && fail "zrec runs after its stop"
# Stopped again, and reloaded while stopped: success, but nothing was done,
# and the record says why.
run zidavoveva_service --json --stop zrec
read_result "the second stop of zrec" &&
    expect "the second stop of zrec" '.action=="stop" and .succeeded and (.done|not) and
        (.message|test("not running; nothing was done"))' "nothing to stop"
note "nothing to stop: $(tail -n 1 <<<"$out")"
testd_define zrec '"support_reload": true,'
run zidavoveva_service --json --reload zrec
[ "$rc" = 0 ] || fail "the reload of a stopped zrec: $(seen)"
read_result "the reload of a stopped zrec" &&
    expect "the reload of a stopped zrec" '.action=="reload" and .succeeded and (.done|not) and
        (.message|test("not running, so nothing was reloaded"))' "nothing to reload"
grep -q '"type":"header"' <<<"$out" && fail "the reload of a stopped zrec shows a status block: $(seen)"
note "nothing to reload: $(tail -n 1 <<<"$out")"

# --- a unit under systemd: the pid is systemd's main pid -------------------------------
if [ "$mode" = systemd ] && [ "$with_cron" = --with-cron ]; then
    . "$lib/debs.sh"
    install_debs_in_sandbox cron procps || fail "cron could not be installed in the sandbox"
    rm -f /usr/sbin/policy-rc.d
    systemctl daemon-reload
    run zidavoveva_crond --json
    main=$(systemctl show -p MainPID --value cron.service)
    read_result "the restart of cron" &&
        expect "the restart of cron" ".service==\"crond\" and .succeeded and .pids==[$main] and $main > 0" \
            "cron's main pid ($main)"
    note "cron under systemd: $(tail -n 1 <<<"$out")"
fi

if [ "$failures" -ne 0 ]; then
    echo "result-record ($mode): $failures failures" >&2
    exit 1
fi
note "all passed"
