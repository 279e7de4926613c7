#!/usr/bin/env bash
# The inside of checks/output-unchanged: runs in a sandbox, never on the host.
#
#   output-unchanged.sh E2E_DIR BUILD_DIR RESULTS_DIR -- PACKAGE...
#
# Installs the program, the packages (downloaded by the check) and the
# project's test daemon, then makes the same runs of the installed program,
# in the same order, every time, and keeps what each one wrote:
# RESULTS_DIR/NN-CASE.out (standard output), .err (standard error) and
# .status (exit status). Each case is then run twice more with --json, its
# standard output on a pipe and on a terminal (a pseudo-terminal, as over
# ssh -t), kept in RESULTS_DIR.json/NN-CASE.pipe and .tty: whatever a run
# meets, a program reading it must find one JSON record a line. Nothing is
# judged here: the check masks what varies and compares, and parses the JSON
# runs, on the host. Exits non-zero only when the set-up fails.
set -uo pipefail
e2e=$1 build=$2 results=$3
shift 3
[ "${1:-}" = -- ] && shift
. "$e2e/lib/debs.sh"
. "$e2e/lib/testd.sh"
. "$e2e/lib/httpd.sh"

mode=sysv
[ -d /run/systemd/system ] && mode=systemd
setup_failed() { echo "output-unchanged[$mode]: $*" >&2; exit 1; }

cmake --install "$build" >/dev/null || setup_failed "cannot install the program"
install_debs_in_sandbox "$@" || setup_failed "cannot install $*"
rm -f /usr/sbin/policy-rc.d
httpd_prepare
if [ "$mode" = systemd ]; then
    systemctl daemon-reload
    systemctl stop cron apache2 >/dev/null 2>&1
fi
pkill -x cron
pkill -x apache2
httpd_break_certificate

testd_install "$build"
# ztestd comes up; zbrokend never does: its configuration holds an option it
# does not know, which it says in its startup log.
testd_define ztestd
testd_define zbrokend '' '"--config", "/run/zbrokend.conf",'
echo "no-such-option" >/run/zbrokend.conf
for name in zidavoveva_ztestd startztestd stopztestd zidavoveva_zbrokend startzbrokend; do
    ln -sf zidavoveva_base "/usr/local/sbin/$name"
done

# Every run sees the same environment whoever started the check, and from
# where: no terminal, no colour wish, none of the caller's locale.
clean_env=(env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
    HOME=/root LANG=C.UTF-8 TERM=dumb)
cases=0
json_results=$results.json
mkdir -p "$json_results"
run_case() {  # CASE PROGRAM ARGS...
    local name
    cases=$((cases + 1))
    name=$(printf '%02d-%s' "$cases" "$1")
    shift
    "${clean_env[@]}" "$@" </dev/null >"$results/$name.out" 2>"$results/$name.err"
    echo $? >"$results/$name.status"
    json_runs "$name" "$@"
}
# The same run with --json, on a pipe, then with standard input, output and
# error on a terminal (script(1) makes one; standard error is sent apart, so
# that only standard output is judged). The terminal ends its lines with
# \r\n; the check takes the \r off.
json_runs() {  # NAME PROGRAM ARGS...
    local name=$1 command
    shift
    "${clean_env[@]}" "$@" --json </dev/null >"$json_results/$name.pipe" 2>/dev/null
    command=$(printf '%q ' "${clean_env[@]}" "$@" --json)
    script -qec "$command 2>/dev/null" /dev/null </dev/null >"$json_results/$name.tty" 2>/dev/null
    # Two more starts of a unit within seconds count against systemd's start
    # limit: the next case must meet the unit as it would without them.
    [ "$mode" = systemd ] && systemctl reset-failed >/dev/null 2>&1
    return 0
}

# A fresh sandbox hands out low pids, which the status check's name search
# passes over: the daemons get higher ones, as on a machine that has run a
# while.
while [ "$(sh -c 'echo $$')" -lt 400 ]; do :; done
setup=$SECONDS
SECONDS=0

# --- the usage --------------------------------------------------------------------
run_case help-generic zidavoveva_service --help
run_case help-crond zidavoveva_crond --help

# --- cron, through its init script or its unit --------------------------------------
run_case crond-status-stopped zidavoveva_crond --status
run_case crond-start startcrond
run_case crond-check zidavoveva_crond --check
run_case crond-status zidavoveva_crond status
run_case crond-restart zidavoveva_crond
run_case crond-restart-json zidavoveva_crond --json
run_case crond-restart-html zidavoveva_crond --html
run_case crond-reload zidavoveva_crond --reload
run_case crond-stop stopcrond
run_case crond-status-after-stop zidavoveva_crond --status
run_case crond-stop-stopped stopcrond

# --- the test daemon, launched by the program itself ---------------------------------
run_case ztestd-start startztestd
run_case ztestd-check zidavoveva_service ztestd --check
run_case ztestd-status zidavoveva_ztestd --status
run_case ztestd-restart zidavoveva_ztestd
run_case ztestd-restart-json zidavoveva_ztestd --json
run_case ztestd-restart-html zidavoveva_ztestd --html
run_case ztestd-restart-debug zidavoveva_ztestd --debug
run_case ztestd-stop stopztestd
run_case ztestd-check-after-stop zidavoveva_service ztestd --check

# --- starts that fail ------------------------------------------------------------------
run_case zbrokend-start startzbrokend
run_case zbrokend-start-json zidavoveva_zbrokend --start --json
testd_kill_all zbrokend
# The reason is in the web server's error log, shown under "Log Messages".
run_case httpd-start-bad-certificate starthttpd

# --- refused runs -------------------------------------------------------------------------
run_case unknown-option zidavoveva_crond --stauts
run_case ambiguous-option zidavoveva_ztestd --re
run_case unknown-service zidavoveva_service nosuchservice
run_case base-name zidavoveva_base

echo "output-unchanged[$mode]: set up in $setup s, $cases runs in $SECONDS s"
