# The web server (Debian's apache2, installed with lib/debs.sh) inside a
# sandbox, never on the host. Sourced by the end-to-end scripts that run there.
#
#   httpd_prepare                 # once, after the package is installed
#   httpd_break_certificate       # its next start fails
#   httpd_mend_certificate        # and then works again

# The tool counts the web server as installed only with the panel's web stack
# flag; the web server wants the machine's name to have an address.
httpd_prepare() {
    mkdir -p /etc/tavrel && touch /etc/tavrel/webstack4
    grep -qw "$(hostname)" /etc/hosts || echo "127.0.1.1 $(hostname)" >>/etc/hosts
}

# A certificate the web server cannot load: its configuration test passes and
# its start script says only "Action 'start' failed. The Apache error log may
# have more information."; the reason (AH02562) is in that error log alone.
httpd_break_certificate() {
    a2enmod ssl >/dev/null
    cat >/etc/apache2/sites-enabled/zz-bad-certificate.conf <<'CONF'
<VirtualHost *:443>
    SSLEngine on
    SSLCertificateFile /etc/hostname
</VirtualHost>
CONF
}

httpd_mend_certificate() {
    rm -f /etc/apache2/sites-enabled/zz-bad-certificate.conf
    a2dismod ssl >/dev/null
}
