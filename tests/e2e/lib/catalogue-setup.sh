# The catalogue's daemons made ready to run inside a sandbox, never on the
# host: sourced by lib/catalogue.sh and bench/service-list.sh.
#
#   . "$e2e/lib/catalogue-setup.sh"
#   catalogue_install MODE PACKAGE...    # MODE: sysv or systemd
#
# Installs the packages (downloaded before with download_debs) into the
# sandbox's overlay, then gives them what an administrator would and a
# throw-away machine lacks, so that each daemon can start. Returns 1 when the
# packages cannot be installed.
#
# shellcheck source=debs.sh
. "$(dirname "${BASH_SOURCE[0]}")/debs.sh"

# A signature database of one entry (the MD5 of the well-known harmless test
# file) where the packages look for the official ones: their start checks ask
# for "main" and "daily" databases, which the two empty folders of the old
# incremental layout satisfy without claiming to be signed releases.
make_clamav_database() {
    mkdir -p "$1/main.inc" "$1/daily.inc"
    echo '44d88612fea8a8f36de82e1278abb02f:68:Tavrel.Check.Sample' >"$1/local.hdb"
    chown -R clamav:clamav "$1"
}

catalogue_install() {
    local mode=$1
    shift
    install_debs_in_sandbox "$@" || return 1
    rm -f /usr/sbin/policy-rc.d
    # The IMAP server wants a certificate, which its package does not make
    # here.
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
    local daemon
    for daemon in nsd pure-ftpd; do
        if [ -x "/usr/sbin/$daemon" ]; then
            mkdir -p /etc/tavrel/svcwatch.d && touch "/etc/tavrel/svcwatch.d/$daemon"
        fi
    done
    # The virus scanner will not start without signatures, and its unit not
    # even try without the two official databases. The real ones are
    # downloaded from the network, which the sandbox has none of: one
    # signature of our own, in the local format, keeps the daemon as busy as
    # it needs to be.
    if [ -x /usr/sbin/clamd ] && ! ls /var/lib/clamav/main.* >/dev/null 2>&1; then
        make_clamav_database /var/lib/clamav
    fi
    # The PostgreSQL role exists only where the panel has recorded the
    # database as installed.
    if [ -d /usr/lib/postgresql ]; then
        mkdir -p /var/tavrel/globalcache
        echo '{"data": {"is_installed": 1}}' >/var/tavrel/globalcache/postgresql.json
    fi
    if [ "$mode" = systemd ]; then
        systemctl daemon-reload
    fi
}
