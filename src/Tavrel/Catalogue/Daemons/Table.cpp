#include "Tavrel/Catalogue/Daemons/Table.h"

#include "Tavrel/Config/OS.h"
#include "Tavrel/Server/Enabled.h"
#include "Tavrel/Foundation/Regex.h"

#include <algorithm>

namespace Tavrel::Catalogue::Daemons {

namespace {

using Args = std::vector<std::string>;

// A daemon of the panel itself: its own program, started and stopped by us.
Entry panel(std::string class_name, std::string word, std::vector<int> ports = {}) {
    Entry e;
    e.class_name = std::move(class_name);
    e.word = std::move(word);
    e.ports = std::move(ports);
    e.doomed_rules = {e.word};
    e.is_tavrel_service = true;
    e.binary = "{panel}/libexec/" + e.word;
    e.pidfile = "{run}/" + e.word + ".pid";
    e.startup_args = Args{"--start"};
    e.shutdown_args = Args{"--stop"};
    e.restart_attempts = 2;
    return e;
}

Entry daemon(std::string class_name, std::string word, std::vector<int> ports,
             std::vector<std::string> doomed, bool reload) {
    Entry e;
    e.class_name = std::move(class_name);
    e.word = std::move(word);
    e.ports = std::move(ports);
    e.doomed_rules = std::move(doomed);
    e.support_reload = reload;
    return e;
}

std::vector<Entry> build_entries() {
    std::vector<Entry> t;
    // The web server: reload is its graceful configuration reread, and
    // SIGUSR1 its graceful restart, after which the same main process writes
    // its pid file again. Signalled with a broken configuration, that main
    // process ends, so the configuration is tested first (the control
    // program has this name on both families).
    t.push_back(daemon("Tavrel::ServiceManager::Services::Httpd", "httpd", {80, 443},
                       {"apache2", "httpd"}, true));
    t.back().graceful = true;
    t.back().config_test = {"/usr/sbin/apachectl", "-t"};
    t.back().startup_timeout = 30;
    t.back().restart_attempts = 2;
    // The mail server, and a second listener of the same program on the
    // alternate submission port that the panel starts itself.
    t.push_back(daemon("Tavrel::ServiceManager::Services::Exim", "exim", {25, 465, 587},
                       {"exim4", "exim"}, true));
    t.back().restart_attempts = 2;
    t.push_back(
        daemon("Tavrel::ServiceManager::Services::Exim_altport", "exim-altport", {26}, {}, false));
    t.back().is_tavrel_service = true;
    t.back().startup_args = Args{"-bd", "-oX", "26", "-oP", "{pidfile}"};
    // IMAP, POP and LMTP are protocols of one mail-store daemon; its orphans
    // are the master and its children ("dovecot/imap" and so on share the name).
    // Its configuration reader fails on what would keep the daemon from starting.
    const Args dovecot_test{"/usr/bin/doveconf", "-n"};
    t.push_back(
        daemon("Tavrel::ServiceManager::Services::Imap", "imap", {143, 993}, {"dovecot"}, true));
    t.back().config_test = dovecot_test;
    t.push_back(
        daemon("Tavrel::ServiceManager::Services::Pop", "pop", {110, 995}, {"dovecot"}, true));
    t.back().config_test = dovecot_test;
    t.push_back(daemon("Tavrel::ServiceManager::Services::Lmtp", "lmtp", {}, {"dovecot"}, true));
    t.back().config_test = dovecot_test;
    // Name servers. Loading large zone sets takes time.
    t.push_back(daemon("Tavrel::ServiceManager::Services::Named", "named", {53}, {"named"}, true));
    t.back().startup_timeout = 60;
    // Debian ships the authoritative server with a unit only; without systemd
    // its program is started directly, so it must detach, write its pid file
    // and drop to its own user as the unit would have it.
    t.push_back(
        daemon("Tavrel::ServiceManager::Services::Pdns", "pdns", {53}, {"pdns_server"}, false));
    t.back().startup_args = Args{"--daemon=yes", "--guardian=no", "--setuid=pdns", "--setgid=pdns"};
    t.back().no_pidfile_under_systemd = true;
    t.push_back(daemon("Tavrel::ServiceManager::Services::Nsd", "nsd", {53}, {"nsd"}, true));
    t.back().no_pidfile_under_systemd = true;
    // Databases: recovery after a crash may take minutes before the pid file appears.
    t.push_back(daemon("Tavrel::ServiceManager::Services::Mysql", "mysql", {3306},
                       {"mariadbd", "mysqld"}, false));
    t.back().startup_timeout = 300;
    t.push_back(daemon("Tavrel::ServiceManager::Services::Postgresql", "postgresql", {5432},
                       {"postgres"}, true));
    t.back().startup_timeout = 120;
    t.back().has_single_pid = false;
    // FTP: the generic word names the first supported daemon.
    // Both words drive the one FTP daemon: a listing or a run under either
    // must not tell it apart from the other.
    const Args proftpd_test{"/usr/sbin/proftpd", "-t"};
    const std::vector<std::string> ftp_words{"ftpd", "proftpd"};
    t.push_back(daemon("Tavrel::ServiceManager::Services::Ftpd", "ftpd", {21}, {"proftpd"}, true));
    t.back().config_test = proftpd_test;
    t.back().daemon_words = ftp_words;
    t.push_back(
        daemon("Tavrel::ServiceManager::Services::Proftpd", "proftpd", {21}, {"proftpd"}, true));
    t.back().config_test = proftpd_test;
    t.back().daemon_words = ftp_words;
    t.push_back(daemon("Tavrel::ServiceManager::Services::Pure_ftpd", "pure-ftpd", {21},
                       {"pure-ftpd"}, false));
    // Filters. The virus scanner loads its signatures before it answers.
    // The spam filter re-executes itself on HUP: under its init script it
    // detaches again under a new pid and is gone from its pid file for
    // seconds, which is a restart, not a reload.
    t.push_back(daemon("Tavrel::ServiceManager::Services::Spamd", "spamd", {783}, {"spamd"}, true));
    t.back().startup_timeout = 60;
    t.back().reload_needs_systemd = true;
    // The virus scanner's init script can only reload its log or its
    // signatures; its unit reloads the signatures.
    t.push_back(daemon("Tavrel::ServiceManager::Services::Clamd", "clamd", {}, {"clamd"}, true));
    t.back().startup_timeout = 180;
    t.back().reload_needs_systemd = true;
    t.back().no_pidfile_under_systemd = true;
    // Passive fingerprinting: the panel runs it detached, without a pid file,
    // answering on its socket. It refuses a log that is not a regular file,
    // so it gets none.
    t.push_back(daemon("Tavrel::ServiceManager::Services::P0f", "p0f", {}, {"p0f"}, false));
    t.back().is_tavrel_service = true;
    t.back().startup_args = Args{"-d", "-s", "/run/p0f.sock"};
    // PHP-FPM pools of the web server.
    t.push_back(daemon("Tavrel::ServiceManager::Services::Apache_php_fpm", "apache_php_fpm", {},
                       {"php-fpm"}, true));
    t.back().has_single_pid = false;
    // The mailing-list manager the panel ships.
    Entry mailman = panel("Tavrel::ServiceManager::Services::Mailman", "mailman");
    mailman.binary = "{panel}/3rdparty/mailman/bin/mailmanctl";
    mailman.pidfile = "{panel}/3rdparty/mailman/data/master-qrunner.pid";
    mailman.startup_args = Args{"-q", "start"};
    mailman.shutdown_args = Args{"-q", "stop"};
    mailman.doomed_rules = {"mailmanctl", "qrunner"};
    mailman.has_single_pid = false;
    t.push_back(mailman);
    // The panel's own daemons.
    t.push_back(panel("Tavrel::ServiceManager::Services::Hubdavd", "hubdavd", {2077, 2078}));
    t.push_back(panel("Tavrel::ServiceManager::Services::Hubsrvd", "hubsrvd"));
    t.push_back(panel("Tavrel::ServiceManager::Services::Hubstatsd", "hubstatsd"));
    t.push_back(panel("Tavrel::ServiceManager::Services::Hubgreyd", "hubgreyd"));
    t.push_back(panel("Tavrel::ServiceManager::Services::Hublogd", "hublogd"));
    t.push_back(panel("Tavrel::ServiceManager::Services::Hubguardd", "hubguardd"));
    t.push_back(panel("Tavrel::ServiceManager::Services::Logtaild", "logtaild"));
    t.push_back(panel("Tavrel::ServiceManager::Services::Jobqueued", "jobqueued"));
    Entry fpm = panel("Tavrel::ServiceManager::Services::Hub_php_fpm", "hub_php_fpm");
    fpm.binary = "{panel}/3rdparty/sbin/php-fpm";
    fpm.startup_args = Args{"--fpm-config", "{panel}/etc/php-fpm.conf", "--pid", "{pidfile}"};
    fpm.shutdown_args = std::nullopt;
    fpm.doomed_rules = {"php-fpm"};
    fpm.has_single_pid = false;
    fpm.support_reload = true;
    t.push_back(fpm);
    std::sort(t.begin(), t.end(), [](const Entry& a, const Entry& b) { return a.word < b.word; });
    return t;
}

std::string replace_all(std::string text, std::string_view from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

}  // namespace

namespace Table {

const std::vector<Entry>& entries() {
    static const std::vector<Entry> t = build_entries();
    return t;
}

std::string daemon_word(std::string_view word) {
    for (const Entry& e : entries()) {
        if (e.word == word)
            return e.daemon_words.empty() ? e.word : e.daemon_words.front();
    }
    return std::string(word);
}

}  // namespace Table

bool Daemon::_build_is_enabled() {
    if (entry_.daemon_words.empty() || described_by_definition())
        return Tavrel::Service::Hot::_build_is_enabled();
    // Undetermined (-1) counts as enabled, as for every service.
    const auto& words = entry_.daemon_words;
    if (Server::Enabled::is_enabled(words.front()) == 0)
        return false;
    return std::none_of(words.begin() + 1, words.end(), [](const std::string& word) {
        return Server::Enabled::is_enabled_when_installed(word) == 0;
    });
}

std::string Daemon::_build_service_override() {
    // The panel's own programs have no unit of a package; the others are
    // known by the distribution's unit and init-script name.
    return entry_.is_tavrel_service ? std::string() : Config::OS::systemd_unit_name(entry_.word);
}

std::string Daemon::expand(const std::string& text) {
    std::string out = replace_all(text, "{panel}", Table::PANEL_DIR);
    out = replace_all(out, "{run}", Table::PANEL_RUN_DIR);
    if (out.find("{pidfile}") != std::string::npos)
        out = replace_all(out, "{pidfile}", pidfile());
    return out;
}

std::optional<std::vector<std::string>> Daemon::expand(const std::optional<std::vector<std::string>>& args) {
    if (!args)
        return std::nullopt;
    std::vector<std::string> out;
    for (const std::string& arg : *args)
        out.push_back(expand(arg));
    return out;
}

std::string Daemon::_build_service_binary() {
    if (!entry_.binary.empty())
        return expand(entry_.binary);
    if (const Config::OS::DaemonFacts* f = Config::OS::daemon_facts(entry_.word); f && !f->binary.empty())
        return f->binary;
    return Tavrel::Service::Base::_build_service_binary();
}

bool Daemon::_build_support_reload() {
    return entry_.support_reload && (!entry_.reload_needs_systemd || Config::OS::is_systemd());
}

std::string Daemon::_build_pidfile() {
    if (!entry_.pidfile.empty())
        return expand(entry_.pidfile);
    // Waiting for a pid file its unit never writes would fail every start.
    if (entry_.no_pidfile_under_systemd && Config::OS::is_systemd())
        return {};
    if (const Config::OS::DaemonFacts* f = Config::OS::daemon_facts(entry_.word))
        return f->pidfile;
    return {};
}

std::string Daemon::_build_pid_exe() {
    std::string binary = service_binary();
    return binary.empty() ? std::string() : "^" + Foundation::Regex::escape(binary) + "$";
}

std::string Daemon::_build_processowner() {
    if (const Config::OS::DaemonFacts* f = Config::OS::daemon_facts(entry_.word); f && !f->processowner.empty())
        return f->processowner;
    return Tavrel::Service::Base::_build_processowner();
}

std::vector<std::string> Daemon::_build_service_package() {
    if (const Config::OS::DaemonFacts* f = Config::OS::daemon_facts(entry_.word))
        return f->packages;
    return {};
}

}  // namespace Tavrel::Catalogue::Daemons
