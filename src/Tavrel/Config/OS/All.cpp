#include "Tavrel/Config/OS/All.h"

#include <cctype>
#include <charconv>
#include <map>

namespace Tavrel::Config::OS::All {

namespace {

// Unit names of the Debian family: the packages name their units after the
// package, not after the daemon word this tool uses.
std::map<std::string, std::string> debian_units() {
    return {
        {"clamd", "clamav-daemon"}, {"crond", "cron"},
        {"exim", "exim4"},          {"httpd", "apache2"},
        {"imap", "dovecot"},        {"mysql", "mariadb"},
        {"pop", "dovecot"},         {"rsyslogd", "rsyslog"},
        {"spamd", "spamd"},         {"sshd", "ssh"},
        {"lmtp", "dovecot"},        {"ftpd", "proftpd"},
    };
}

// Debian 11 still ships the spam filter's unit under the package's old name.
std::map<std::string, std::string> debian11_units() {
    auto m = debian_units();
    m["spamd"] = "spamassassin";
    return m;
}

// RHEL family: the daemons keep their own names, except where one unit serves
// several service words or the package names it.
std::map<std::string, std::string> rhel_units() {
    return {
        {"clamd", "clamd@scan"}, {"imap", "dovecot"},     {"mysql", "mysqld"},
        {"pop", "dovecot"},      {"rsyslogd", "rsyslog"}, {"spamd", "spamassassin"},
        {"lmtp", "dovecot"},     {"ftpd", "proftpd"},     {"apache_php_fpm", "php-fpm"},
    };
}

// The parts of the Debian family's daemon packages that move between releases.
struct DebianRelease {
    std::string php;          // PHP-FPM version: "8.2"
    std::string postgresql;   // PostgreSQL major version: "15"
    std::string spamd_package;
    std::string proftpd_package;
};

using Daemons = std::map<std::string, DaemonFacts>;

Daemons debian_daemons(const DebianRelease& r) {
    const DaemonFacts dovecot{"/usr/sbin/dovecot", "/run/dovecot/master.pid", {}, ""};
    Daemons d = {
        {"httpd", {"/usr/sbin/apache2", "/run/apache2/apache2.pid", {"apache2"}, "www-data"}},
        {"exim", {"/usr/sbin/exim4", "/run/exim4/exim.pid", {"exim4-base"}, "Debian-exim"}},
        {"exim-altport",
         {"/usr/sbin/exim4", "/run/exim4/exim-altport.pid", {"exim4-base"}, "Debian-exim"}},
        {"named", {"/usr/sbin/named", "/run/named/named.pid", {"bind9"}, "bind"}},
        {"pdns", {"/usr/sbin/pdns_server", "/run/pdns/pdns.pid", {"pdns-server"}, "pdns"}},
        {"nsd", {"/usr/sbin/nsd", "/run/nsd/nsd.pid", {"nsd"}, "nsd"}},
        {"mysql", {"/usr/sbin/mariadbd", "/run/mysqld/mysqld.pid", {"mariadb-server"}, "mysql"}},
        {"postgresql",
         {"/usr/lib/postgresql/" + r.postgresql + "/bin/postgres",
          "/run/postgresql/" + r.postgresql + "-main.pid",
          {"postgresql-" + r.postgresql},
          "postgres"}},
        {"ftpd", {"/usr/sbin/proftpd", "/run/proftpd.pid", {r.proftpd_package}, "proftpd"}},
        {"proftpd", {"/usr/sbin/proftpd", "/run/proftpd.pid", {r.proftpd_package}, "proftpd"}},
        {"pure-ftpd",
         {"/usr/sbin/pure-ftpd", "/run/pure-ftpd/pure-ftpd.pid", {"pure-ftpd"}, ""}},
        {"spamd", {"/usr/sbin/spamd", "/run/spamd.pid", {r.spamd_package}, ""}},
        {"clamd", {"/usr/sbin/clamd", "/run/clamav/clamd.pid", {"clamav-daemon"}, "clamav"}},
        {"p0f", {"/usr/sbin/p0f", "", {"p0f"}, ""}},
        {"apache_php_fpm",
         {"/usr/sbin/php-fpm" + r.php, "/run/php/php" + r.php + "-fpm.pid", {"php" + r.php + "-fpm"},
          "www-data"}},
    };
    d["imap"] = dovecot;
    d["imap"].packages = {"dovecot-imapd"};
    d["pop"] = dovecot;
    d["pop"].packages = {"dovecot-pop3d"};
    d["lmtp"] = dovecot;
    d["lmtp"].packages = {"dovecot-lmtpd"};
    return d;
}

Daemons rhel_daemons() {
    const DaemonFacts dovecot{"/usr/sbin/dovecot", "/run/dovecot/master.pid", {"dovecot"}, ""};
    return {
        {"httpd", {"/usr/sbin/httpd", "/run/httpd/httpd.pid", {"httpd"}, "apache"}},
        {"exim", {"/usr/sbin/exim", "/run/exim.pid", {"exim"}, "exim"}},
        {"exim-altport", {"/usr/sbin/exim", "/run/exim-altport.pid", {"exim"}, "exim"}},
        {"imap", dovecot},
        {"pop", dovecot},
        {"lmtp", dovecot},
        {"named", {"/usr/sbin/named", "/run/named/named.pid", {"bind"}, "named"}},
        {"pdns", {"/usr/sbin/pdns_server", "/run/pdns/pdns.pid", {"pdns"}, "pdns"}},
        {"nsd", {"/usr/sbin/nsd", "/run/nsd/nsd.pid", {"nsd"}, "nsd"}},
        {"mysql", {"/usr/libexec/mysqld", "/run/mysqld/mysqld.pid", {"mysql-server"}, "mysql"}},
        {"postgresql",
         {"/usr/bin/postgres", "/var/lib/pgsql/data/postmaster.pid", {"postgresql-server"},
          "postgres"}},
        {"ftpd", {"/usr/sbin/proftpd", "/run/proftpd/proftpd.pid", {"proftpd"}, "nobody"}},
        {"proftpd", {"/usr/sbin/proftpd", "/run/proftpd/proftpd.pid", {"proftpd"}, "nobody"}},
        {"pure-ftpd", {"/usr/sbin/pure-ftpd", "/run/pure-ftpd.pid", {"pure-ftpd"}, ""}},
        {"spamd", {"/usr/bin/spamd", "/run/spamd.pid", {"spamassassin"}, ""}},
        {"clamd", {"/usr/sbin/clamd", "/run/clamd.scan/clamd.pid", {"clamd"}, "clamscan"}},
        {"p0f", {"/usr/sbin/p0f", "", {"p0f"}, ""}},
        {"apache_php_fpm",
         {"/usr/sbin/php-fpm", "/run/php-fpm/php-fpm.pid", {"php-fpm"}, "apache"}},
    };
}

Facts debian(std::string major, std::string pretty, std::map<std::string, std::string> units,
             const DebianRelease& release) {
    Facts f;
    f.class_name = "Debian" + major;
    f.distro = "debian";
    f.major = std::move(major);
    f.pretty_distro = std::move(pretty);
    f.base_distro = "debian";
    f.package_manager = "apt";
    f.package_manager_module = "Apt";
    f.cron_bin_path = "/usr/sbin/cron";
    f.maillog_path = "/var/log/mail.log";
    f.setup_tz_method = "timedatectl";
    f.system_package_managers = {"apt", "dpkg"};
    f.systemd_service_name_map = std::move(units);
    // The PHP-FPM unit carries the PHP version in its name.
    f.systemd_service_name_map["apache_php_fpm"] = "php" + release.php + "-fpm";
    f.daemons = debian_daemons(release);
    return f;
}

Facts ubuntu(std::string major, std::string pretty, const DebianRelease& release) {
    Facts f = debian(major, std::move(pretty), debian_units(), release);
    f.class_name = "Ubuntu" + major;
    f.distro = "ubuntu";
    f.base_distro = "ubuntu";
    return f;
}

Facts rhel(std::string distro, std::string class_stem, std::string major, std::string pretty) {
    Facts f;
    f.class_name = std::move(class_stem) + major;
    f.distro = std::move(distro);
    f.major = std::move(major);
    f.pretty_distro = std::move(pretty);
    f.base_distro = "rhel";
    f.package_manager = "dnf";
    f.package_manager_module = "Yum";
    f.retry_rpm_cmd_no_tty_hack = true;
    f.cron_bin_path = "/usr/sbin/crond";
    f.maillog_path = "/var/log/maillog";
    f.setup_tz_method = "timedatectl";
    f.system_package_managers = {"dnf", "yum", "rpm"};
    f.systemd_service_name_map = rhel_units();
    f.daemons = rhel_daemons();
    return f;
}

const std::vector<Facts>& table() {
    static const std::vector<Facts> t = {
        debian("11", "Debian 11", debian11_units(), {"7.4", "13", "spamassassin", "proftpd-basic"}),
        debian("12", "Debian 12", debian_units(), {"8.2", "15", "spamd", "proftpd-core"}),
        debian("13", "Debian 13", debian_units(), {"8.4", "17", "spamd", "proftpd-core"}),
        ubuntu("22", "Ubuntu 22.04", {"8.1", "14", "spamassassin", "proftpd-basic"}),
        ubuntu("24", "Ubuntu 24.04", {"8.3", "16", "spamd", "proftpd-core"}),
        ubuntu("26", "Ubuntu 26.04", {"8.4", "18", "spamd", "proftpd-core"}),
        rhel("almalinux", "Almalinux", "8", "AlmaLinux 8"),
        rhel("almalinux", "Almalinux", "9", "AlmaLinux 9"),
        rhel("almalinux", "Almalinux", "10", "AlmaLinux 10"),
        rhel("rocky", "Rocky", "8", "Rocky Linux 8"),
        rhel("rocky", "Rocky", "9", "Rocky Linux 9"),
        rhel("rocky", "Rocky", "10", "Rocky Linux 10"),
        rhel("rhel", "Rhel", "8", "Red Hat Enterprise Linux 8"),
        rhel("rhel", "Rhel", "9", "Red Hat Enterprise Linux 9"),
        rhel("rhel", "Rhel", "10", "Red Hat Enterprise Linux 10"),
        rhel("cloudlinux", "Cloudlinux", "8", "CloudLinux 8"),
        rhel("cloudlinux", "Cloudlinux", "9", "CloudLinux 9"),
        rhel("cloudlinux", "Cloudlinux", "10", "CloudLinux 10"),
    };
    return t;
}

// Rebuilds the table does not list, by the distribution whose records they
// take, and their display names.
struct Rebuild {
    std::string_view distro, family, display;
};
constexpr Rebuild REBUILDS[] = {
    {"centos", "rhel", "CentOS Stream"},
    {"ol", "rhel", "Oracle Linux"},
};

std::optional<long> major_number(std::string_view major) {
    long n = 0;
    auto [end, ec] = std::from_chars(major.data(), major.data() + major.size(), n);
    if (ec != std::errc() || end != major.data() + major.size() || major.empty())
        return std::nullopt;
    return n;
}

// The listed release of `distro` nearest to `major`; the newer one on a tie.
const Facts* nearest(std::string_view distro, long major) {
    const Facts* best = nullptr;
    long best_gap = 0, best_major = 0;
    for (const Facts& f : table()) {
        auto m = major_number(f.major);
        if (f.distro != distro || !m)
            continue;
        const long gap = *m > major ? *m - major : major - *m;
        if (!best || gap < best_gap || (gap == best_gap && *m > best_major)) {
            best = &f;
            best_gap = gap;
            best_major = *m;
        }
    }
    return best;
}

// "Red Hat Enterprise Linux 9" -> "Red Hat Enterprise Linux"; "Ubuntu 24.04" -> "Ubuntu".
std::string display_stem(const std::string& pretty) {
    const auto space = pretty.rfind(' ');
    return space == std::string::npos ? pretty : pretty.substr(0, space);
}

}  // namespace

const std::vector<std::pair<std::string, std::string>>& supported_distros() {
    static const auto list = [] {
        std::vector<std::pair<std::string, std::string>> out;
        for (const Facts& f : table())
            out.emplace_back(f.distro, f.major);
        return out;
    }();
    return list;
}

const Facts* find(std::string_view distro, std::string_view major) {
    for (const Facts& f : table()) {
        if (f.distro == distro && f.major == major)
            return &f;
    }
    return nullptr;
}

std::optional<Facts> inherit(std::string_view distro, std::string_view major) {
    const auto wanted = major_number(major);
    if (!wanted)
        return std::nullopt;
    std::string_view family = distro;
    std::string display;
    for (const Rebuild& r : REBUILDS) {
        if (r.distro == distro) {
            family = r.family;
            display = std::string(r.display);
        }
    }
    const Facts* base = nearest(family, *wanted);
    if (!base)
        return std::nullopt;
    Facts f = *base;
    f.inherited_from = base->class_name;
    if (display.empty())
        display = display_stem(base->pretty_distro);
    f.distro = std::string(distro);
    f.major = std::string(major);
    f.pretty_distro = display + " " + f.major;
    f.class_name = f.distro + f.major;
    f.class_name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(f.class_name[0])));
    return f;
}

const Facts& generic() {
    // An unknown system: assume nothing about its packages, use the common paths.
    static const Facts g = [] {
        Facts f;
        f.class_name = "Linux";
        f.pretty_distro = "Linux";
        f.base_distro = "linux";
        f.cron_bin_path = "/usr/sbin/cron";
        f.maillog_path = "/var/log/maillog";
        f.setup_tz_method = "localtime_link";
        return f;
    }();
    return g;
}

}  // namespace Tavrel::Config::OS::All
