#!/usr/bin/env bash
# The inside of checks/catalogue: runs in a sandbox, never on the host.
#
#   catalogue.sh E2E_DIR PROGRAM MODE WORD:PROCESS[:reload][:graceful][:apart]... -- PACKAGE...
#
# Installs the packages into the sandbox's overlay, then drives each service
# word through the program under its generic name: stopped status, restart,
# running status, a second restart, a graceful restart that keeps the main
# process where the class claims one, a restart refused with a broken
# configuration where the class tests it, reload where the class declares
# it, stop, and no process of the daemon left after the stop. PROCESS is the
# start of the daemon's process names. Then the whole group at once, for
# `--list`: each word running with its daemon's main pid, as root and as
# nobody, the records saying what the table says, and no daemon touched. A
# word flagged "apart" shares a port with another of its group and stays
# stopped for the listing.
set -u
e2e=$1 program=$2 mode=$3
shift 3
checks=()
while [ "$#" -gt 0 ] && [ "$1" != -- ]; do checks+=("$1"); shift; done
shift
# shellcheck source=catalogue-setup.sh
. "$e2e/lib/catalogue-setup.sh"

catalogue_install "$mode" "$@" || exit 1
echo "catalogue[$mode]: packages installed ($SECONDS s)"

# Installed as the package would (the overlay keeps it from the host); not in
# /tmp, which a unit with a private /tmp may hide.
ln -sf "$program" /usr/local/sbin/zidavoveva_service
tool() { /usr/local/sbin/zidavoveva_service "$@" </dev/null; }

# The configuration file a word's test reads, for the daemons that have one.
broken_config_of() {
    case "$1" in
        httpd) echo /etc/apache2/apache2.conf ;;
        imap) echo /etc/dovecot/dovecot.conf ;;
        ftpd) echo /etc/proftpd/proftpd.conf ;;
        *) return 1 ;;
    esac
}

# The main pid the status reports.
main_pid() { tool "$1" --status 2>&1 | grep -o 'PID [0-9]*' | head -n 1; }

failures=0
fail() { echo "catalogue[$mode]: $*" >&2; failures=$((failures + 1)); }
# Some daemons rename their processes ("nsd: main", "spamd child"): a
# process whose name starts with the daemon's counts.
left() { pgrep "^$1" >/dev/null 2>&1; }

for entry in "${checks[@]}"; do
    before=$failures started=$SECONDS
    IFS=: read -r word process flags <<<"$entry"
    out=$(tool "$word" --stop 2>&1) || fail "$word: first stop failed: $out"
    if out=$(tool "$word" --status 2>&1); then
        fail "$word: status says running while stopped: $out"
    fi
    out=$(tool "$word" 2>&1) || { fail "$word: restart from stopped failed: $out"; continue; }
    out=$(tool "$word" --status 2>&1) || fail "$word: status after restart: $out"
    left "$process" || fail "$word: no $process process after the restart"
    out=$(tool "$word" 2>&1) || fail "$word: restart while running failed: $out"
    out=$(tool "$word" --status 2>&1) || fail "$word: status after the second restart: $out"
    if [[ ":$flags:" == *:graceful:* ]]; then
        # In place: the same main process before and after, and still up.
        before_pid=$(main_pid "$word")
        sleep 1.1  # a pid file rewritten within the same second is still seen
        out=$(tool "$word" --graceful 2>&1) || fail "$word: graceful restart failed: $out"
        after_pid=$(main_pid "$word")
        [ -n "$before_pid" ] && [ "$before_pid" = "$after_pid" ] ||
            fail "$word: the graceful restart replaced pid '$before_pid' with '$after_pid'"
    fi
    if conf=$(broken_config_of "$word"); then
        # A running daemon restarted (or, for the web server, signalled to
        # restart in place, which ends its main process) with a broken
        # configuration would not come back: the restart must refuse and
        # touch nothing.
        before_pid=$(main_pid "$word")
        cp -p "$conf" /run/config-before
        echo "no_such_setting_here = yes" >>"$conf"
        if out=$(tool "$word" 2>&1); then
            fail "$word: a restart with a broken configuration succeeded"
        fi
        grep -q no_such_setting_here <<<"$out" || fail "$word: the refusal lacks what the test said: $out"
        [ "$(main_pid "$word")" = "$before_pid" ] || fail "$word: a broken configuration's restart touched it"
        cp -p /run/config-before "$conf"
    fi
    if [[ ":$flags:" == *:reload:* ]]; then
        out=$(tool "$word" --reload 2>&1) || fail "$word: reload failed: $out"
        out=$(tool "$word" --status 2>&1) || fail "$word: status after reload: $out"
    fi
    out=$(tool "$word" --stop 2>&1) || fail "$word: stop failed: $out"
    sleep 0.5
    if left "$process"; then
        fail "$word: $process still runs after the stop: $(pgrep -a "^$process" | head -3)"
    fi
    if out=$(tool "$word" --status 2>&1); then
        fail "$word: status says running after the stop: $out"
    fi
    [ "$failures" -ne "$before" ] || echo "catalogue[$mode]: $word ok ($((SECONDS - started)) s)"
done

# --- the listing, with the whole group running -------------------------------
# As on a server: every word of the group started together, then
# `zidavoveva_service --list`, as root and as an account with no rights at
# all, must agree with what the init system and the process table say, and
# change nothing.

# The unit each word's daemon runs under, to ask systemd for its main pid;
# none for the one the tool runs itself.
unit_of() {
    case "$1" in
        httpd) echo apache2 ;;
        exim) echo exim4 ;;
        named) echo named ;;
        imap | pop | lmtp) echo dovecot ;;
        ftpd | proftpd) echo proftpd ;;
        nsd) echo nsd ;;
        pdns) echo pdns ;;
        pure-ftpd) echo pure-ftpd ;;
        apache_php_fpm) echo "php$php_version-fpm" ;;
        spamd) echo spamd ;;
        clamd) echo clamav-daemon ;;
        mysql) echo mariadb ;;
        postgresql) echo postgresql ;;
        *) return 1 ;;
    esac
}

# The program of each catalogue word's daemon: where it is missing, the word
# is not installed, whatever the tool's own rules say.
# The PHP that this Debian release ships (its FPM's unit and program carry
# the version).
php_version=8.2
grep -q '^VERSION_ID="13"' /etc/os-release && php_version=8.4

program_of() {
    case "$1" in
        httpd) echo /usr/sbin/apache2 ;;
        exim) echo /usr/sbin/exim4 ;;
        named) echo /usr/sbin/named ;;
        imap | pop | lmtp) echo /usr/sbin/dovecot ;;
        ftpd | proftpd) echo /usr/sbin/proftpd ;;
        nsd) echo /usr/sbin/nsd ;;
        pdns) echo /usr/sbin/pdns_server ;;
        pure-ftpd) echo /usr/sbin/pure-ftpd ;;
        apache_php_fpm) echo "/usr/sbin/php-fpm$php_version" ;;
        p0f) echo /usr/sbin/p0f ;;
        spamd) echo /usr/sbin/spamd ;;
        clamd) echo /usr/sbin/clamd ;;
        mysql) echo /usr/sbin/mariadbd ;;
        *) return 1 ;;
    esac
}

# The daemon's main pid as its manager knows it: systemd's MainPID, else
# (SysV, a daemon without a unit, an umbrella unit with no process of its
# own) the oldest process of the daemon. Empty when none runs.
daemon_pid() {  # WORD PROCESS
    local pid=0 unit
    if [ "$mode" = systemd ] && unit=$(unit_of "$1"); then
        pid=$(systemctl show -p MainPID --value "$unit.service" 2>/dev/null)
    fi
    # The daemon's own name, or that name with a title after it ("nsd:
    # main"); not another program whose name starts with it, such as the
    # wrapper script "mariadbd-safe" that starts the database on Debian 13.
    if [ "${pid:-0}" = 0 ]; then
        pid=$(pgrep -o "^$2([ :]|\$)")
    fi
    echo "$pid"
}

# The listing as the account $1 runs it (root: as it is), from a folder any
# account may enter; its standard error goes to /run/list-$1.err.
list_as() {  # ACCOUNT ARGS...
    local account=$1
    shift
    if [ "$account" = root ]; then
        (cd / && tool --list "$@") 2>"/run/list-$account.err"
    else
        (cd / && setpriv --reuid="$account" --regid=nogroup --clear-groups \
            /usr/local/sbin/zidavoveva_service --list "$@" </dev/null) 2>"/run/list-$account.err"
    fi
}

# The yes/no of a record member, as the table writes it: "-" where the
# software is not installed and the answer does not apply.
yes_no='def yn($absent): if . == null then (if $absent then "-" else "?" end) elif . then "yes" else "no" end;'

started=$SECONDS
listed=() processes=()
for entry in "${checks[@]}"; do
    IFS=: read -r word process flags <<<"$entry"
    # A daemon on the same port as another of its group cannot run beside
    # it: it stays stopped, and is listed so.
    [[ ":$flags:" == *:apart:* ]] && continue
    out=$(tool "$word" --restart 2>&1) || { fail "$word: the start before the listing failed: $out"; continue; }
    listed+=("$word") processes+=("$process")
done
declare -A pid_before
for i in "${!listed[@]}"; do
    pid_before[${listed[$i]}]=$(daemon_pid "${listed[$i]}" "${processes[$i]}")
    [ -n "${pid_before[${listed[$i]}]}" ] || fail "${listed[$i]}: no ${processes[$i]} process after its start"
done

status=0
table=$(list_as root) || status=$?
[ "$status" -eq 0 ] || fail "the listing as root ended $status: $(cat /run/list-root.err)"
echo "catalogue[$mode]: the listing with the group running:"
sed 's/^/    /' <<<"$table"
[ -s /run/list-root.err ] && echo "catalogue[$mode]: its standard error: $(cat /run/list-root.err)"
[ "$(head -n 1 <<<"$table" | tr -s ' ')" = "SERVICE INSTALLED ENABLED RUNNING PID" ] ||
    fail "the listing's first line is not its header: $(head -n 1 <<<"$table")"

for word in "${listed[@]}"; do
    line=$(awk -v w="$word" '$1 == w' <<<"$table" | tr -s ' ')
    expected="$word yes yes yes ${pid_before[$word]}"
    [ "$line" = "$expected" ] || fail "$word: the listing says '$line', expected '$expected'"
done
for entry in "${checks[@]}"; do
    IFS=: read -r word process flags <<<"$entry"
    [[ ":$flags:" == *:apart:* ]] || continue
    line=$(awk -v w="$word" '$1 == w' <<<"$table" | tr -s ' ')
    [ "$line" = "$word yes yes no -" ] || fail "$word: stopped, the listing says '$line'"
done
# The catalogue's daemons this group did not install.
for word in httpd exim named imap pop lmtp ftpd proftpd nsd pdns pure-ftpd apache_php_fpm p0f spamd \
    clamd mysql; do
    [ -x "$(program_of "$word")" ] && continue
    line=$(awk -v w="$word" '$1 == w' <<<"$table" | tr -s ' ')
    [[ "$line" == "$word no - - -" ]] || fail "$word: not installed here, the listing says '$line'"
done
# Two words of one daemon list alike, whatever else the group installed.
ftpd_line=$(awk '$1 == "ftpd" {$1 = ""; print}' <<<"$table" | tr -s ' ')
proftpd_line=$(awk '$1 == "proftpd" {$1 = ""; print}' <<<"$table" | tr -s ' ')
[ "$ftpd_line" = "$proftpd_line" ] || fail "ftpd lists as '$ftpd_line', proftpd as '$proftpd_line'"

# Without root, every answer is the same: a daemon of another account's, or
# of root's, is no less running for being out of reach. Such an account asks
# systemd through the system bus, which a systemd server runs and this
# sandbox starts only now.
# Where the machine has no system bus at all, the listing finds each daemon
# by its processes instead, which must give the same table.
if [ "$mode" = systemd ] && systemctl cat dbus.service >/dev/null 2>&1; then
    systemctl start dbus.service || fail "the system bus did not start"
fi
status=0
as_nobody=$(list_as nobody) || status=$?
[ "$status" -eq 0 ] || fail "the listing as nobody ended $status: $(cat /run/list-nobody.err)"
if [ "$as_nobody" != "$table" ]; then
    fail "the listing as nobody differs from root's: $(diff <(echo "$table") <(echo "$as_nobody") | grep '^[<>]')"
fi
[ -s /run/list-nobody.err ] && echo "catalogue[$mode]: as nobody, its standard error: $(cat /run/list-nobody.err)"

# One record per line of the table, saying what the line says, then the
# result record of a listing.
status=0
json=$(list_as root --json) || status=$?
[ "$status" -eq 0 ] || fail "the listing with --json ended $status: $(cat /run/list-root.err)"
if ! jq -e . <<<"$json" >/dev/null 2>&1; then
    fail "the listing with --json is not JSON lines: ${json:0:500}"
else
    from_records=$(jq -r "$yes_no"' select(.type == "service") | .contents |
        (.installed == false) as $absent |
        [.service, (.installed | yn(false)), (.enabled | yn($absent)), (.running | yn($absent)),
         (.main_pid // "-" | tostring)] | join(" ")' <<<"$json")
    from_table=$(tail -n +2 <<<"$table" | tr -s ' ')
    [ "$from_records" = "$from_table" ] ||
        fail "the records differ from the table: $(diff <(echo "$from_table") <(echo "$from_records") | grep '^[<>]')"
    jq -s -e '(.[-1] | .type == "result" and .contents.action == "list" and .contents.succeeded == true)
        and ([.[] | select(.type == "result")] | length == 1)' <<<"$json" >/dev/null ||
        fail "the last record is not one result of a listing that succeeded: $(tail -n 1 <<<"$json")"
fi

# The facts the program holds for this release, against what the packages
# installed and what the running daemons wrote (their pid files): with
# CATALOGUE_FACTS_PROBE, the unit test that compares them.
if [ -n "${CATALOGUE_FACTS_PROBE:-}" ]; then
    out=$(TAVREL_INSTALLED_FACTS=running TAVREL_INSTALLED_FACTS_WORDS="${listed[*]}" \
        "$CATALOGUE_FACTS_PROBE" --gtest_filter='InstalledFacts.*' 2>&1) ||
        fail "the release's facts differ from the installed system: $(grep -B1 -A4 'Failure' <<<"$out")"
    grep -q '\[  PASSED  \] 1 test' <<<"$out" || fail "the facts were not compared: $out"
fi

# Nothing was started, stopped or replaced by looking.
for i in "${!listed[@]}"; do
    word=${listed[$i]}
    now=$(daemon_pid "$word" "${processes[$i]}")
    [ "$now" = "${pid_before[$word]}" ] ||
        fail "$word: its main pid was ${pid_before[$word]} before the listings, $now after"
done

for i in "${!listed[@]}"; do
    out=$(tool "${listed[$i]}" --stop 2>&1) || fail "${listed[$i]}: the stop after the listing failed: $out"
done
sleep 0.5
for process in "${processes[@]}"; do
    left "$process" && fail "$process still runs after the stops: $(pgrep -a "^$process" | head -3)"
done
echo "catalogue[$mode]: the listing checked ($((SECONDS - started)) s)"
[ "$failures" -eq 0 ]
