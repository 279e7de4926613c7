#!/usr/bin/env bash
# The inside of checks/catalogue: runs in a sandbox, never on the host.
#
#   catalogue.sh E2E_DIR PROGRAM MODE WORD:PROCESS[:reload][:graceful]... -- PACKAGE...
#
# Installs the packages into the sandbox's overlay, then drives each service
# word through the program under its generic name: stopped status, restart,
# running status, a second restart, a graceful restart that keeps the main
# process where the class claims one, a restart refused with a broken
# configuration where the class tests it, reload where the class declares
# it, stop, and no process of the daemon left after the stop. PROCESS is the
# start of the daemon's process names.
set -u
e2e=$1 program=$2 mode=$3
shift 3
checks=()
while [ "$#" -gt 0 ] && [ "$1" != -- ]; do checks+=("$1"); shift; done
shift
. "$e2e/lib/debs.sh"

# A signature database of one entry (the MD5 of the well-known harmless test
# file) where the packages look for the official ones: their start checks ask
# for "main" and "daily" databases, which the two empty folders of the old
# incremental layout satisfy without claiming to be signed releases.
make_clamav_database() {
    mkdir -p "$1/main.inc" "$1/daily.inc"
    echo '44d88612fea8a8f36de82e1278abb02f:68:Tavrel.Check.Sample' >"$1/local.hdb"
    chown -R clamav:clamav "$1"
}

install_debs_in_sandbox "$@" || exit 1
echo "catalogue[$mode]: packages installed ($SECONDS s)"
rm -f /usr/sbin/policy-rc.d
# A little configuration the packages leave to the administrator: the IMAP
# server wants a certificate, which its package does not make here.
if [ -d /etc/dovecot ] && [ ! -s /etc/dovecot/private/dovecot.pem ]; then
    mkdir -p /etc/dovecot/private
    openssl req -new -x509 -nodes -days 2 -subj /CN=localhost -newkey rsa:2048 \
        -keyout /etc/dovecot/private/dovecot.key -out /etc/dovecot/private/dovecot.pem \
        >/dev/null 2>&1 || true
fi
# The FTP server refuses to start when the machine's name has no address.
grep -qw "$(hostname)" /etc/hosts || echo "127.0.1.1 $(hostname)" >>/etc/hosts
# The tool counts the web server as installed only with the panel's web
# stack flag.
if [ -x /usr/sbin/apache2 ]; then
    mkdir -p /etc/tavrel && touch /etc/tavrel/webstack4
fi
# No rule tells whether these name and FTP servers are installed; the
# service monitor's entry for them does.
for daemon in nsd pure-ftpd; do
    if [ -x "/usr/sbin/$daemon" ]; then
        mkdir -p /etc/tavrel/svcwatch.d && touch "/etc/tavrel/svcwatch.d/$daemon"
    fi
done
# The virus scanner will not start without signatures, and its unit not even
# try without the two official databases. The real ones are downloaded from
# the network, which the sandbox has none of: one signature of our own, in
# the local format, keeps the daemon as busy as it needs to be.
if [ -x /usr/sbin/clamd ] && ! ls /var/lib/clamav/main.* >/dev/null 2>&1; then
    make_clamav_database /var/lib/clamav
fi
# The PostgreSQL role exists only where the panel has recorded the database
# as installed.
if [ -d /usr/lib/postgresql ]; then
    mkdir -p /var/tavrel/globalcache
    echo '{"data": {"is_installed": 1}}' >/var/tavrel/globalcache/postgresql.json
fi
if [ "$mode" = systemd ]; then
    systemctl daemon-reload
fi

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
[ "$failures" -eq 0 ]
