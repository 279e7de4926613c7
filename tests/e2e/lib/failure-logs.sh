#!/usr/bin/env bash
# The inside of checks/failure-logs: runs in a sandbox, never on the host.
#
#   failure-logs.sh E2E_DIR PROGRAM MODE -- PACKAGE...
#
# Real daemons fail to start for a reason that only their own logs name, and
# the program's output after the failure must carry that reason: the web
# server's certificate that does not load (its error log), and under systemd
# the database meeting an unknown option (its error log) and sshd's bad directive
# (the unit's journal, written by its pre-start test). And a run shows only
# what it wrote itself: a stop shows its own output, not the start's before it.
set -u
e2e=$1 program=$2 mode=$3
shift 3
[ "${1:-}" = -- ] && shift
. "$e2e/lib/debs.sh"
. "$e2e/lib/httpd.sh"

install_debs_in_sandbox "$@" || exit 1
rm -f /usr/sbin/policy-rc.d
echo "failure-logs[$mode]: packages installed ($SECONDS s)"
httpd_prepare
[ "$mode" = systemd ] && systemctl daemon-reload

ln -sf "$program" /usr/local/sbin/zidavoveva_service
tool() { /usr/local/sbin/zidavoveva_service "$@" </dev/null; }

failures=0
fail() { echo "failure-logs[$mode]: $*" >&2; failures=$((failures + 1)); }
occurrences() { grep -cF -- "$1" <<<"$2"; }
# The lines shown under the log messages header (what the service's own and
# the system logs got during the run).
log_messages() { sed -n '/Log Messages/,$p' <<<"$1"; }

# 1. A certificate the web server cannot load: its start script says only
#    "Action 'start' failed. The Apache error log may have more information."
httpd_break_certificate
tool httpd --stop >/dev/null 2>&1
cause='AH02562: Failed to configure certificate'
shown=()
for attempt in 1 2; do
    if out=$(tool httpd --start 2>&1); then
        fail "httpd: a start with a certificate that does not load succeeded: $out"
    fi
    shown+=("$(log_messages "$out" | grep -cF -- "$cause")")
    [ "${shown[-1]}" -ge 1 ] || fail "httpd (run $attempt): the error log's reason is not shown: $out"
done
# The second run shows its own attempts' lines, not the first run's as well.
[ "${shown[0]}" = "${shown[1]}" ] ||
    fail "httpd: the second run shows ${shown[1]} lines of the reason, the first ${shown[0]}"
httpd_mend_certificate
tool httpd --stop >/dev/null 2>&1

if [ "$mode" = systemd ]; then
    # 2. The database meets an option it does not know once its engines are
    #    loaded, when it already writes to its error log alone.
    mkdir -p /var/log/mysql && chown mysql:adm /var/log/mysql
    printf '[mysqld]\nlog_error = /var/log/mysql/error.log\nno_such_option_here = 1\n' \
        >/etc/mysql/mariadb.conf.d/99-unknown-option.cnf
    tool mysql --stop >/dev/null 2>&1
    out=$(tool mysql --start 2>&1) && fail "mysql: a start with an unknown option succeeded: $out"
    log_messages "$out" | grep -q "unknown variable 'no_such_option_here=1'" ||
        fail "mysql: the failure does not show the error log's reason: $out"
    rm -f /etc/mysql/mariadb.conf.d/99-unknown-option.cnf
    tool mysql --stop >/dev/null 2>&1

    # 3. sshd with a directive it does not know, from stopped: the unit's
    #    pre-start test says why in the journal, which the status listing of
    #    a unit waiting to restart does not show.
    tool sshd --stop >/dev/null 2>&1
    cp -p /etc/ssh/sshd_config /run/sshd_config.good
    echo 'NoSuchDirectiveAnywhere yes' >>/etc/ssh/sshd_config
    out=$(tool sshd --start 2>&1) && fail "sshd: a start with a bad directive succeeded: $out"
    grep -q 'Bad configuration option: NoSuchDirectiveAnywhere' <<<"$out" ||
        fail "sshd: the failure does not show the journal's reason: $out"
    cp -p /run/sshd_config.good /etc/ssh/sshd_config
    tool sshd --stop >/dev/null 2>&1
else
    # 4. A stop shows its own output, once, and not the start's before it
    #    (the start wrote to the same startup log).
    for round in 1 2; do
        tool crond >/dev/null 2>&1 || fail "crond: restart $round failed"
        out=$(tool crond --stop 2>&1) || fail "crond: stop $round failed: $out"
        n=$(occurrences 'Stopping periodic command scheduler' "$out")
        [ "$n" -eq 1 ] || fail "crond: stop $round shows the stop's line $n times: $out"
        [ "$(occurrences 'Starting periodic command scheduler' "$out")" -eq 0 ] ||
            fail "crond: stop $round shows the start's output: $out"
    done
fi
[ "$failures" -eq 0 ] && echo "failure-logs[$mode]: ok ($SECONDS s)"
[ "$failures" -eq 0 ]
