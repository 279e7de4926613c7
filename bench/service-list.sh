#!/usr/bin/env bash
# The listing of every service against the administrator's own overviews,
# side by side in one run, in the throw-away sandboxes of tests/e2e with the
# web, mail, name and FTP servers of checks/catalogue and cron, sshd, rsyslog
# and nscd running (installed only inside them, never on this machine):
#
#   SysV (first process not systemd, daemons started by their init scripts):
#     zidavoveva_service --list   against  service --status-all
#   systemd (a real systemd as pid 1):
#     zidavoveva_service --list   against  systemctl list-units --type=service --all
#     zidavoveva_service --list   against  systemctl status of the same daemons' units
#
# Each pair runs interleaved (benchtimer), and a table row gives the medians,
# the ratio, the peak RSS and whether the target is met.
#
#   bench/service-list.sh [sysv|systemd]...   (default: both)
#   ROUNDS=20 BUILD_DIR=build bench/service-list.sh
#
# Without root, unshare, a build or the packages it says why and exits 0.
# bench-targets: zidavoveva_base zidavoveva_testinit benchtimer
set -uo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
ROUNDS=${ROUNDS:-20}
export ROUNDS

# The targets. A listing looks at every service the server knows (some
# thirty words, most of them not installed here), each with a fresh status
# check of its own: under systemd one systemctl run per word (12 to 15 ms
# each on a shared 2-core machine), under SysV a pid file and the process
# table. It cannot cost what one query of systemd's memory costs, and the
# ratios are shown, not held to (measured: 375 to 460 ms under systemd, 30
# times list-units and 15 times the status of the nine units; about 20 ms
# under SysV, a thirtieth of `service --status-all`). What an administrator waits
# for is the whole table: under a second keeps it an interactive command,
# with room for a slower machine or a few more words. The memory is that of
# one run of the program (a --status takes 5 to 6 MiB); the rows it keeps
# are a few bytes per service.
LIST_MS=1000 LIST_MIB=8

PACKAGES=(apache2 exim4-daemon-light bind9 dovecot-imapd dovecot-pop3d dovecot-lmtpd proftpd-core
    openssl procps cron openssh-server rsyslog nscd)
# The words started, one for each daemon (IMAP stands for the mail store,
# which also serves POP and LMTP), and the units they run under.
WORDS=(httpd exim named imap ftpd crond sshd rsyslogd nscd)
UNITS=(apache2 exim4 named dovecot proftpd cron ssh rsyslog nscd)

# shellcheck source=tools/sandboxes.sh
. "$here/bench/tools/sandboxes.sh"

# --- inside a sandbox ---------------------------------------------------------
inside() {
    local mode=$1 build=$2
    local timer=$build/bench/benchtimer
    # shellcheck source=../tests/e2e/lib/catalogue-setup.sh
    . "$here/tests/e2e/lib/catalogue-setup.sh"
    catalogue_install "$mode" "${PACKAGES[@]}" || return 1
    # Under its generic name, as the package installs it; not in /tmp, which
    # a unit with a private /tmp may hide.
    local prog=/usr/local/sbin/zidavoveva_service
    ln -sf "$build/src/zidavoveva_base" "$prog"
    local word
    for word in "${WORDS[@]}"; do
        "$prog" "$word" --restart </dev/null >/dev/null 2>&1 || { echo "$word did not start" >&2; return 1; }
    done
    sleep 0.3

    echo "--- $mode: one run of each, as the administrator sees it"
    echo "\$ zidavoveva_service --list"
    "$prog" --list </dev/null; echo "(status $?)"
    if [ "$mode" = systemd ]; then
        echo "\$ systemctl list-units --type=service --all --no-pager"
        systemctl list-units --type=service --all --no-pager; echo "(status $?)"
    else
        echo "\$ service --status-all"
        service --status-all; echo "(status $?)"
    fi
    echo

    local failed=0
    if [ "$mode" = systemd ]; then
        local units=("${UNITS[@]/%/.service}")
        header "systemd, ${#WORDS[@]} daemons running" "systemctl"
        # list-units answers from what systemd holds in memory, in one
        # query, and looks at no process: the overview an administrator
        # types, but not the same work. `systemctl status` of each daemon's
        # unit is the closer match (a look at each service, its processes
        # included), and still covers only the daemons installed, where the
        # listing looks at every word it knows: the fairer of the two, and
        # still in systemctl's favour.
        "$timer" -n "$ROUNDS" -w 1 -l "\`--list\` vs \`systemctl list-units --type=service --all\`" \
            -T "$LIST_MS" -R "$LIST_MIB" \
            -- "$prog" --list -- systemctl list-units --type=service --all --no-pager || failed=1
        "$timer" -n "$ROUNDS" -w 1 -l "\`--list\` vs \`systemctl status\` of the ${#units[@]} units" \
            -T "$LIST_MS" -R "$LIST_MIB" \
            -- "$prog" --list -- systemctl status --no-pager "${units[@]}" || failed=1
    else
        header "SysV, ${#WORDS[@]} daemons running" "service"
        # What starting any program costs on this machine right now.
        "$timer" -n "$ROUNDS" -l "floor: \`/bin/true\` vs \`/bin/true\`" -- /bin/true -- /bin/true
        "$timer" -n "$ROUNDS" -w 1 -l "\`--list\` vs \`service --status-all\`" -T "$LIST_MS" -R "$LIST_MIB" \
            -- "$prog" --list -- service --status-all || failed=1
    fi
    # Looking changed nothing: every daemon still runs.
    for word in "${WORDS[@]}"; do
        "$prog" "$word" --status </dev/null >/dev/null 2>&1 || { echo "$word is down after the listings" >&2; failed=1; }
    done
    return "$failed"
}

if [ "${1:-}" = --inside ]; then
    inside "$2" "$3"
    exit $?
fi

# --- on the host ---------------------------------------------------------------
bench_in_sandboxes service-list "$here/bench/service-list.sh" "${PACKAGES[*]}" "$@"
