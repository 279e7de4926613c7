#include "Tavrel/Catalogue/Daemons/Table.h"

#include "Tavrel/Config/OS.h"
#include "Tavrel/Config/OS/All.h"
#include "Tavrel/Config/OS/SysBootstrap.h"
#include "Tavrel/Foundation/Regex.h"
#include "Tavrel/Catalogue/Factory.h"
#include "Tavrel/Catalogue/Registry.h"
#include "Tavrel/Server/Enabled.h"
#include "testsupport/OsIdentityFiles.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

namespace SB = Tavrel::Config::OS::SysBootstrap;
using Tavrel::Catalogue::Daemons::Table::entries;

// One release file per family the classes must describe.
struct Release {
    const char* name;
    const char* os_release;
    const char* family;
};
const Release RELEASES[] = {
    {"Debian 11", "ID=debian\nVERSION_ID=\"11\"\n", "debian"},
    {"Debian 12", "ID=debian\nVERSION_ID=\"12\"\n", "debian"},
    {"Ubuntu 22.04", "ID=ubuntu\nID_LIKE=debian\nVERSION_ID=\"22.04\"\n", "ubuntu"},
    {"Ubuntu 24.04", "ID=ubuntu\nID_LIKE=debian\nVERSION_ID=\"24.04\"\n", "ubuntu"},
    {"AlmaLinux 8", "ID=\"almalinux\"\nID_LIKE=\"rhel centos fedora\"\nVERSION_ID=\"8.9\"\n", "rhel"},
    {"Rocky Linux 9", "ID=\"rocky\"\nID_LIKE=\"rhel centos fedora\"\nVERSION_ID=\"9.3\"\n", "rhel"},
};

class CatalogueTest : public ::testing::Test {
  protected:
    void become(const Release& r) {
        SB::OS_RELEASE_FILE = tmp_.write(std::string("os-release-") + r.family, r.os_release);
        Tavrel::Config::OS::clear_cache();
        ASSERT_EQ(Tavrel::Config::OS::base_distro(), r.family) << r.name;
    }

    Tavrel::TestSupport::TempDir tmp_;
    Tavrel::TestSupport::OsIdentityFiles files_{tmp_.path()};
};

bool absolute(const std::string& path) { return !path.empty() && path[0] == '/'; }

// Every built-in class, built on every family, declares a service the tool can
// drive: a program and pid file at absolute paths, a unit name or its own
// start arguments, ports in range, a package to ask about, sane time bounds.
TEST_F(CatalogueTest, EveryClassIsSoundOnEveryFamily) {
    for (const Release& r : RELEASES) {
        become(r);
        for (const std::string& module : Tavrel::Catalogue::Registry::module_words()) {
            SCOPED_TRACE(std::string(r.name) + " " + module);
            auto make = Tavrel::Catalogue::Registry::find(module);
            ASSERT_TRUE(make);
            std::unique_ptr<Tavrel::Service::Base> srv = (*make)();
            const std::string word = srv->service();
            EXPECT_EQ(Tavrel::Catalogue::module_word(word), module) << "the factory would not find " << word;
            // The name the program prints for the class stays as it was.
            EXPECT_EQ(srv->class_name(), "Tavrel::ServiceManager::Services::" + module);

            const std::string binary = srv->service_binary();
            EXPECT_TRUE(absolute(binary)) << "binary '" << binary << "'";
            if (!srv->pidfile().empty()) {
                EXPECT_TRUE(absolute(srv->pidfile())) << srv->pidfile();
            }
            if (!srv->pid_exe().empty()) {
                Tavrel::Foundation::Regex exe(srv->pid_exe());
                EXPECT_TRUE(exe.match(binary)) << srv->pid_exe() << " misses " << binary;
            }
            EXPECT_FALSE(srv->processowner().empty());
            EXPECT_FALSE(srv->service_name().empty());

            std::set<int> seen;
            for (int port : srv->ports()) {
                EXPECT_TRUE(port > 0 && port < 65536) << port;
                EXPECT_TRUE(seen.insert(port).second) << "port " << port << " twice";
            }
            EXPECT_GT(srv->startup_timeout(), 0);
            EXPECT_LE(srv->startup_timeout(), 600);
            EXPECT_GE(srv->restart_attempts(), 0);
            EXPECT_LE(srv->restart_attempts(), 5);
            // Only the web server was seen to restart in place on SIGUSR1.
            EXPECT_EQ(srv->has_restart_gracefully(), word == "httpd");
            if (!srv->has_restart_gracefully()) {
                EXPECT_EQ(srv->restart_gracefully(), std::nullopt) << "signals a daemon without a claim";
            } else {
                // Signalled with a broken configuration, its main process would end.
                EXPECT_FALSE(srv->config_test().empty()) << "restarts in place untested";
            }
            if (const auto test = srv->config_test(); !test.empty()) {
                EXPECT_TRUE(absolute(test[0])) << "configuration test '" << test[0] << "'";
            }

            for (const auto& args : {srv->startup_args(), srv->shutdown_args(), srv->restart_args()}) {
                if (!args)
                    continue;
                for (const std::string& a : *args)
                    EXPECT_EQ(a.find('{'), std::string::npos) << "unexpanded argument " << a;
            }
            if (srv->is_tavrel_service()) {
                // The panel starts these itself: with its arguments, never a package's unit.
                EXPECT_TRUE(srv->startup_args()) << "no start arguments";
            }
        }
    }
}

// The catalogue's daemons that come from the distribution have package facts
// on every supported release, so that no class falls back to guessing.
TEST_F(CatalogueTest, EveryDistributionDaemonHasPackageFacts) {
    for (const auto& [distro, major] : Tavrel::Config::OS::All::supported_distros()) {
        const Tavrel::Config::OS::Facts* facts = Tavrel::Config::OS::All::find(distro, major);
        ASSERT_NE(facts, nullptr);
        for (const auto& e : entries()) {
            if (!e.binary.empty())
                continue;  // the panel's own program
            SCOPED_TRACE(distro + major + " " + e.word);
            auto it = facts->daemons.find(e.word);
            ASSERT_NE(it, facts->daemons.end());
            EXPECT_TRUE(absolute(it->second.binary));
            EXPECT_FALSE(it->second.packages.empty());
            for (const auto& p : it->second.packages)
                EXPECT_FALSE(p.empty());
        }
    }
}

// What the real Debian 12 packages were seen to use in the sandboxes: unit
// (and init script) name, program, pid file under the init script, and the
// account the daemon's processes run as. A wrong name here makes the tool
// start a unit that does not exist or wait for a pid file never written.
TEST_F(CatalogueTest, Debian12ClassesMatchThePackages) {
    struct Seen {
        const char* word;
        const char* unit;
        const char* binary;
        const char* pidfile;
        const char* owner;
    };
    const Seen seen[] = {
        {"httpd", "apache2", "/usr/sbin/apache2", "/run/apache2/apache2.pid", "www-data"},
        {"exim", "exim4", "/usr/sbin/exim4", "/run/exim4/exim.pid", "Debian-exim"},
        {"named", "named", "/usr/sbin/named", "/run/named/named.pid", "bind"},
        {"imap", "dovecot", "/usr/sbin/dovecot", "/run/dovecot/master.pid", "root"},
        {"pop", "dovecot", "/usr/sbin/dovecot", "/run/dovecot/master.pid", "root"},
        {"ftpd", "proftpd", "/usr/sbin/proftpd", "/run/proftpd.pid", "proftpd"},
        {"nsd", "nsd", "/usr/sbin/nsd", "/run/nsd/nsd.pid", "nsd"},
        {"pdns", "pdns", "/usr/sbin/pdns_server", "/run/pdns/pdns.pid", "pdns"},
        {"pure-ftpd", "pure-ftpd", "/usr/sbin/pure-ftpd", "/run/pure-ftpd/pure-ftpd.pid", "root"},
        {"apache_php_fpm", "php8.2-fpm", "/usr/sbin/php-fpm8.2", "/run/php/php8.2-fpm.pid", "www-data"},
        {"spamd", "spamd", "/usr/sbin/spamd", "/run/spamd.pid", "root"},
        {"clamd", "clamav-daemon", "/usr/sbin/clamd", "/run/clamav/clamd.pid", "clamav"},
        {"mysql", "mariadb", "/usr/sbin/mariadbd", "/run/mysqld/mysqld.pid", "mysql"},
        {"postgresql", "postgresql", "/usr/lib/postgresql/15/bin/postgres",
         "/run/postgresql/15-main.pid", "postgres"},
    };
    Tavrel::Config::OS::SYSTEMD_RUN_DIR = tmp_ / "no-systemd";
    become(RELEASES[1]);
    for (const Seen& d : seen) {
        SCOPED_TRACE(d.word);
        auto make = Tavrel::Catalogue::Registry::find(Tavrel::Catalogue::module_word(d.word));
        ASSERT_TRUE(make);
        std::unique_ptr<Tavrel::Service::Base> srv = (*make)();
        EXPECT_EQ(srv->service_name(), d.unit);
        EXPECT_EQ(srv->service_binary(), d.binary);
        EXPECT_EQ(srv->pidfile(), d.pidfile);
        EXPECT_EQ(srv->processowner(), d.owner);
    }
}

// Some packages' units run the daemon in the foreground without a pid file,
// and some init scripts cannot reload: under systemd the class must not wait
// for that pid file, and without it must not claim a reload the script lacks.
TEST_F(CatalogueTest, PidFileAndReloadFollowTheInitSystem) {
    become(RELEASES[1]);
    auto build = [](const char* word) { return (*Tavrel::Catalogue::Registry::find(Tavrel::Catalogue::module_word(word)))(); };
    Tavrel::Config::OS::SYSTEMD_RUN_DIR = tmp_ / "no-systemd";
    for (const char* word : {"nsd", "pdns", "clamd"})
        EXPECT_FALSE(build(word)->pidfile().empty()) << word << " without systemd";
    EXPECT_FALSE(build("spamd")->support_reload());
    EXPECT_FALSE(build("clamd")->support_reload());
    EXPECT_TRUE(build("httpd")->support_reload());

    std::filesystem::create_directories(tmp_ / "systemd");
    Tavrel::Config::OS::SYSTEMD_RUN_DIR = tmp_ / "systemd";
    for (const char* word : {"nsd", "pdns", "clamd"})
        EXPECT_EQ(build(word)->pidfile(), "") << word << " under systemd";
    EXPECT_EQ(build("httpd")->pidfile(), "/run/apache2/apache2.pid");
    EXPECT_TRUE(build("spamd")->support_reload());
    EXPECT_TRUE(build("clamd")->support_reload());
}

// The authoritative name server has no init script on Debian: started by its
// program it must detach and drop to its account, or the start never returns
// and the daemon runs as root.
TEST_F(CatalogueTest, ProgramStartedDaemonsDetach) {
    become(RELEASES[1]);
    auto pdns = (*Tavrel::Catalogue::Registry::find(Tavrel::Catalogue::module_word("pdns")))();
    auto args = pdns->startup_args();
    ASSERT_TRUE(args);
    auto has = [&](const std::string& a) { return std::find(args->begin(), args->end(), a) != args->end(); };
    EXPECT_TRUE(has("--daemon=yes"));
    EXPECT_TRUE(has("--guardian=no"));
    EXPECT_TRUE(has("--setuid=" + pdns->processowner()));
    EXPECT_FALSE(pdns->restart_args()) << "a second instance would be launched beside the first";

    // p0f refuses a log that is not a regular file and then never starts.
    auto p0f = (*Tavrel::Catalogue::Registry::find(Tavrel::Catalogue::module_word("p0f")))();
    const auto p0f_args = p0f->startup_args();
    ASSERT_TRUE(p0f_args);
    for (const std::string& a : *p0f_args)
        EXPECT_NE(a, "/dev/null");
}

// The names the program is installed under are the catalogue's own words,
// each of which leads the factory back to its class; no word is taken twice.
TEST_F(CatalogueTest, ServiceWordsLeadBackToTheirClass) {
    std::set<std::string> words;
    for (const std::string& word : Tavrel::Catalogue::Registry::service_words()) {
        EXPECT_TRUE(words.insert(word).second) << word << " twice";
        EXPECT_TRUE(Tavrel::Catalogue::Registry::find(Tavrel::Catalogue::module_word(word))) << word;
    }
    EXPECT_TRUE(words.count("exim-altport"));
    EXPECT_TRUE(words.count("pure-ftpd"));
}

}  // namespace

namespace {

// ftpd and proftpd drive one daemon: a run or a listing under either word
// gets the same answer, and a flag file of either switches both off.
TEST_F(CatalogueTest, WordsOfOneDaemonAnswerAlike) {
    const std::string saved_flags = Tavrel::Server::Enabled::FLAG_DIR;
    Tavrel::Server::Enabled::FLAG_DIR = tmp_ / "disabled";
    auto enabled = [](const std::string& word) {
        const auto& all = entries();
        const auto it = std::find_if(all.begin(), all.end(), [&](const auto& e) { return e.word == word; });
        Tavrel::Catalogue::Daemons::Daemon srv(*it);
        return srv.is_enabled();
    };
    EXPECT_TRUE(enabled("ftpd"));
    EXPECT_TRUE(enabled("proftpd"));
    for (const std::string flag : {"ftpd.disable", "proftpd.off"}) {
        tmp_.write("disabled/" + flag, "");
        EXPECT_FALSE(enabled("ftpd")) << flag;
        EXPECT_FALSE(enabled("proftpd")) << flag;
        std::filesystem::remove(tmp_ / ("disabled/" + flag));
    }
    Tavrel::Server::Enabled::FLAG_DIR = saved_flags;

    EXPECT_EQ(Tavrel::Catalogue::Daemons::Table::daemon_word("proftpd"), "ftpd");
    EXPECT_EQ(Tavrel::Catalogue::Daemons::Table::daemon_word("pure-ftpd"), "pure-ftpd");
    EXPECT_EQ(Tavrel::Catalogue::Daemons::Table::daemon_word("zunknown"), "zunknown");
}

}  // namespace
