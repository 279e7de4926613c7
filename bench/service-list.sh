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
# bench-targets: zidavoveva_base zidavoveva_testd zidavoveva_testinit benchtimer
set -uo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
ROUNDS=${ROUNDS:-20}
export ROUNDS

# The targets. A listing looks at every service the server knows (some
# thirty words, most of them not installed here), each with a fresh status
# check of its own. Under systemd one systemctl show of every unit answers
# what each look asks of its unit (it used to be one run per word: 375 to
# 460 ms, 30 times list-units), so it stays within a small multiple of
# list-units, which answers from systemd's memory and looks at no process,
# and well under the status of the units it covers; under SysV a pid file
# and the process table per word, against a script run per service. The
# memory is that of one run of the program (a --status takes 5 to 6 MiB).
LIST_VS_LIST_UNITS=1.5 LIST_VS_STATUS=0.5 LIST_VS_STATUS_ALL=0.05 LIST_MIB=8
# A server whose administrators described 300 daemons of their own (one in
# ten running): the whole table within 300 ms and 16 MiB, in both init
# systems; the row of 30 such words beside it shows how the time grows.
MANY_WORDS=300 FEW_WORDS=30 MANY_MS=300 MANY_MIB=16

PACKAGES=(apache2 exim4-daemon-light bind9 dovecot-imapd dovecot-pop3d dovecot-lmtpd proftpd-core
    openssl procps cron openssh-server rsyslog nscd)
# The words started, one for each daemon (IMAP stands for the mail store,
# which also serves POP and LMTP), and the units they run under.
WORDS=(httpd exim named imap ftpd crond sshd rsyslogd nscd)
UNITS=(apache2 exim4 named dovecot proftpd cron ssh rsyslog nscd)

# shellcheck source=tools/sandboxes.sh
. "$here/bench/tools/sandboxes.sh"

# --- inside a sandbox ---------------------------------------------------------

# Definitions of daemons of their own, numbered FROM to TO, each a hard link
# of the test daemon under its own name, one in ten started.
describe_daemons() {
    local build=$1 from=$2 to=$3 i word module program
    local defs=/etc/zidavoveva/services
    mkdir -p "$defs"
    [ -x /usr/local/sbin/zdef-testd ] || install -m 755 "$build/tests/daemon/zidavoveva_testd" /usr/local/sbin/zdef-testd
    for i in $(seq -f %03g "$from" "$to"); do
        word=zdef$i module=Zdef$i program=/usr/local/sbin/zdef$i
        ln -f /usr/local/sbin/zdef-testd "$program"
        printf '{"service_binary": "%s", "pidfile": "/run/%s.pid"}\n' "$program" "$word" >"$defs/$module.json"
        if [ $((10#$i % 10)) = 0 ]; then
            "$program" --name "$word" --daemonize --pidfile "/run/$word.pid" </dev/null >/dev/null 2>&1
        fi
    done
}

# The listing with FEW_WORDS, then MANY_WORDS, definitions beside the catalogue.
many_words_rows() {
    local mode=$1 build=$2 prog=$3 timer=$4 failed=0 count
    header "$mode, the catalogue and administrators' definitions" "/bin/true"
    for count in "$FEW_WORDS" "$MANY_WORDS"; do
        describe_daemons "$build" 1 "$count"
        "$timer" -n "$ROUNDS" -w 1 -l "\`--list\` with $count definitions ($((count / 10)) running) vs \`/bin/true\`" \
            -T "$MANY_MS" -R "$MANY_MIB" -- "$prog" --list -- /bin/true || failed=1
    done
    [ "$("$prog" --list </dev/null 2>/dev/null | grep -c '^zdef.* yes  *[0-9][0-9]*$')" = $((MANY_WORDS / 10)) ] ||
        { echo "the listing did not find the $((MANY_WORDS / 10)) running definitions" >&2; failed=1; }
    return "$failed"
}

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
            -t "$LIST_VS_LIST_UNITS" -R "$LIST_MIB" \
            -- "$prog" --list -- systemctl list-units --type=service --all --no-pager || failed=1
        "$timer" -n "$ROUNDS" -w 1 -l "\`--list\` vs \`systemctl status\` of the ${#units[@]} units" \
            -t "$LIST_VS_STATUS" -R "$LIST_MIB" \
            -- "$prog" --list -- systemctl status --no-pager "${units[@]}" || failed=1
    else
        header "SysV, ${#WORDS[@]} daemons running" "service"
        # What starting any program costs on this machine right now.
        "$timer" -n "$ROUNDS" -l "floor: \`/bin/true\` vs \`/bin/true\`" -- /bin/true -- /bin/true
        "$timer" -n "$ROUNDS" -w 1 -l "\`--list\` vs \`service --status-all\`" -t "$LIST_VS_STATUS_ALL" \
            -R "$LIST_MIB" -- "$prog" --list -- service --status-all || failed=1
    fi
    echo
    many_words_rows "$mode" "$build" "$prog" "$timer" || failed=1
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
