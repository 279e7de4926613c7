#include "Tavrel/Cli/ServiceList.h"

#include "Tavrel/Catalogue/Definition.h"
#include "Tavrel/Catalogue/Factory.h"
#include "Tavrel/Config/OS.h"
#include "Tavrel/Config/TvConfGuard.h"
#include "Tavrel/Foundation/Logger.h"
#include "Tavrel/Init/SysV/Script.h"
#include "Tavrel/Init/Systemd/Systemctl.h"
#include "Tavrel/Server/Enabled.h"
#include "Tavrel/Server/Monitor/Config.h"
#include "Tavrel/Server/Panel/WebStack4.h"
#include "Tavrel/Service/Base.h"
#include "Tavrel/Service/Lock.h"
#include "testsupport/TempDir.h"
#include "testsupport/TestChild.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace Tavrel::Cli::ServiceList {
namespace {

using Tavrel::TestSupport::TempDir;
using testing::HasSubstr;

// Every place a listing reads, in a temporary directory; restored afterwards.
class ServiceListTest : public testing::Test {
  protected:
    void SetUp() override {
        Catalogue::Definition::DIR = tmp_ / "defs";
        Server::Monitor::Config::SVCWATCH_DIR = tmp_ / "svcwatch";
        Server::Enabled::FLAG_DIR = tmp_ / "disabled";
        Init::SysV::Script::INIT_D_DIR = tmp_ / "init.d";
        Service::Lock::LOCK_BASE = tmp_ / "locks";
        Foundation::Logger::STD_LOG_FILE = tmp_ / "error_log";
        Config::OS::SYSTEMD_RUN_DIR = tmp_ / "no-systemd";
        // Some services' rules read the main configuration, which a root
        // read creates.
        Config::TvConfGuard::TVCONF_FILE = tmp_ / "tavrel.conf";
        Config::TvConfGuard::TVCONF_CACHE_FILE = tmp_ / "tavrel.conf.cache";
        std::filesystem::create_directories(tmp_ / "defs");
        std::filesystem::create_directories(tmp_ / "svcwatch");
    }
    void TearDown() override {
        Catalogue::Definition::DIR = saved_defs_;
        Server::Monitor::Config::SVCWATCH_DIR = saved_svcwatch_;
        Server::Enabled::FLAG_DIR = saved_flags_;
        Init::SysV::Script::INIT_D_DIR = saved_init_d_;
        Service::Lock::LOCK_BASE = saved_locks_;
        Foundation::Logger::STD_LOG_FILE = saved_log_;
        Config::OS::SYSTEMD_RUN_DIR = saved_systemd_;
        Config::TvConfGuard::TVCONF_FILE = saved_tvconf_;
        Config::TvConfGuard::TVCONF_CACHE_FILE = saved_tvconf_cache_;
    }

    // A definition of a daemon run by `binary`, whose pid file is in the
    // temporary directory and which runs as this test's account.
    std::string define(const std::string& module, const std::string& binary) {
        const std::string pidfile = tmp_ / (module + ".pid");
        const passwd* me = ::getpwuid(::geteuid());
        tmp_.write("defs/" + module + ".json",
                   R"({"is_tavrel_service": true, "service_binary": ")" + binary + R"(", "pidfile": ")" +
                       pidfile + R"(", "processowner": ")" + std::string(me ? me->pw_name : "root") + R"("})");
        return pidfile;
    }

    TempDir tmp_;

  private:
    std::string saved_defs_ = Catalogue::Definition::DIR;
    std::string saved_svcwatch_ = Server::Monitor::Config::SVCWATCH_DIR;
    std::string saved_flags_ = Server::Enabled::FLAG_DIR;
    std::string saved_init_d_ = Init::SysV::Script::INIT_D_DIR;
    std::string saved_locks_ = Service::Lock::LOCK_BASE;
    std::string saved_log_ = Foundation::Logger::STD_LOG_FILE;
    std::string saved_systemd_ = Config::OS::SYSTEMD_RUN_DIR;
    std::string saved_tvconf_ = Config::TvConfGuard::TVCONF_FILE;
    std::string saved_tvconf_cache_ = Config::TvConfGuard::TVCONF_CACHE_FILE;
};

// The built-in classes, the monitor's entries and the definitions, each
// service once whatever its spelling, sorted; names that cannot be services
// are left out.
TEST_F(ServiceListTest, KnownWordsAreEveryServiceOnce) {
    for (const std::string name : {"zmon-one", "bad name", ".hidden"})
        tmp_.write("svcwatch/" + name, "");
    for (const std::string name : {"Zmon_one.json", "Zdef.json", "notes.txt", "9bad.json"})
        tmp_.write("defs/" + name, "{}");

    const std::vector<std::string> words = known_words();
    EXPECT_TRUE(std::is_sorted(words.begin(), words.end()));
    for (const std::string word : {"crond", "sshd", "zmon-one", "zdef"})
        EXPECT_EQ(std::count(words.begin(), words.end(), word), 1) << word;
    for (const std::string word : {"zmon_one", "bad name", ".hidden", "notes", "9bad"})
        EXPECT_EQ(std::count(words.begin(), words.end(), word), 0) << word;
}

// Each column is a fresh look: a running daemon with the pid its pid file
// names, a program that is not there, a disabled service; and a listing
// takes no run lock.
TEST_F(ServiceListTest, EachServiceIsLookedAtAfresh) {
    auto daemon = TestSupport::TestChild::spawn("/bin/sleep", {TestSupport::TestChild::unique_name("zl"), "30"});
    const std::string pidfile = define("Zrun", "/bin/sleep");
    tmp_.write("Zrun.pid", std::to_string(daemon.pid()) + "\n");
    define("Zgone", tmp_ / "no-such-program");
    define("Zoff", "/bin/sleep");
    tmp_.write("disabled/zoff.disable", "");

    const Init::RunOptions look{.look_only = true};
    const Row running = look_at("zrun", look);
    EXPECT_EQ(running.problem, "");
    EXPECT_EQ(running.installed, true);
    EXPECT_EQ(running.enabled, true);
    EXPECT_EQ(running.running, true);
    EXPECT_EQ(running.main_pid, daemon.pid());

    const Row gone = look_at("zgone", look);
    EXPECT_EQ(gone.installed, false);
    EXPECT_EQ(gone.running, false);
    EXPECT_FALSE(gone.main_pid);

    const Row off = look_at("zoff", look);
    EXPECT_EQ(off.installed, true);
    EXPECT_EQ(off.enabled, false);

    EXPECT_FALSE(std::filesystem::exists(tmp_ / "locks")) << "a look took a run lock";

    // Once the daemon ended, the same look says so.
    daemon.stop();
    const Row ended = look_at("zrun", look);
    EXPECT_EQ(ended.running, false);
    EXPECT_FALSE(ended.main_pid);
}

// Under systemd, a service without a unit is asked about once: the backend
// asks when it is chosen, and the status check, driving it through its init
// script, does not ask again. Most of a listing's time is systemctl runs.
TEST_F(ServiceListTest, AServiceWithoutAUnitIsAskedAboutOnce) {
    auto daemon = TestSupport::TestChild::spawn("/bin/sleep", {TestSupport::TestChild::unique_name("zl"), "30"});
    define("Zrun", "/bin/sleep");
    tmp_.write("Zrun.pid", std::to_string(daemon.pid()) + "\n");
    std::filesystem::create_directories(tmp_ / "systemd");
    Config::OS::SYSTEMD_RUN_DIR = tmp_ / "systemd";
    const std::string saved_ctl = Init::Systemd::Systemctl::SYSTEMCTL;
    Init::Systemd::Systemctl::SYSTEMCTL = tmp_.write("systemctl", "#!/bin/sh\n"
                                                                  "echo \"$*\" >>\"$(dirname \"$0\")/calls\"\n"
                                                                  "echo LoadState=not-found\n"
                                                                  "echo ActiveState=inactive\n");
    ::chmod(Init::Systemd::Systemctl::SYSTEMCTL.c_str(), 0755);

    const Row row = look_at("zrun", {.look_only = true});
    Init::Systemd::Systemctl::SYSTEMCTL = saved_ctl;
    EXPECT_EQ(row.running, true);
    EXPECT_EQ(row.main_pid, daemon.pid());
    std::ifstream calls(tmp_ / "calls");
    std::vector<std::string> lines;
    for (std::string line; std::getline(calls, line);)
        lines.push_back(line);
    EXPECT_EQ(lines.size(), 1u) << testing::PrintToString(lines);
    // Nor is a word without a unit a warning in the log: a listing would
    // write one for most of the words it knows, every time.
    std::ifstream log(tmp_ / "error_log");
    const std::string logged((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_EQ(logged.find("has no systemd unit"), std::string::npos) << logged;
}

// The registry has no rule for the name server, nor for pure-ftpd: its
// program decides, as it does for a daemon started and running. (proftpd
// takes the answer of ftpd, the word whose daemon it drives.) A word with a rule keeps the rule's
// answer, whatever is on disk.
TEST_F(ServiceListTest, AWordWithoutAnInstalledRuleIsInstalledWithItsProgram) {
    const std::string program = tmp_.write("named", "#!/bin/sh\n");
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
    const Init::RunOptions look{.look_only = true};
    auto with = [&](const std::string& word, const std::string& binary) {
        return Catalogue::create({{"service", word}, {"service_binary", binary}}, look);
    };
    EXPECT_TRUE(is_installed(*with("named", program)));
    EXPECT_TRUE(is_installed(*with("pure-ftpd", program)));
    EXPECT_FALSE(is_installed(*with("named", tmp_ / "no-such-program")));

    const std::string saved_flag = Server::Panel::WebStack4::FLAG_FILE;
    Server::Panel::WebStack4::FLAG_FILE = tmp_ / "webstack4";
    Server::Panel::WebStack4::clear_cache();
    EXPECT_FALSE(is_installed(*with("httpd", program)));
    tmp_.write("webstack4", "");
    Server::Panel::WebStack4::clear_cache();
    EXPECT_TRUE(is_installed(*with("httpd", program)));
    Server::Panel::WebStack4::FLAG_FILE = saved_flag;
    Server::Panel::WebStack4::clear_cache();
}

// What could not be told is "?" in the table and null in the record, with
// the reason; the columns line up whatever the words' lengths.
TEST_F(ServiceListTest, WhatCouldNotBeToldIsShownAsUnknown) {
    const Row unknown = look_at("zunknown", {});
    EXPECT_FALSE(unknown.installed);
    EXPECT_FALSE(unknown.running);
    EXPECT_THAT(unknown.problem, HasSubstr("zunknown"));

    const Row up{.service = "a-long-service-word", .installed = true, .enabled = true, .running = true,
                 .main_pid = 4711};
    EXPECT_EQ(table({unknown, up}),
              "SERVICE              INSTALLED  ENABLED  RUNNING  PID\n"
              "zunknown             ?          ?        ?        -\n"
              "a-long-service-word  yes        yes      yes      4711\n");

    const auto blank = record(unknown);
    EXPECT_TRUE(blank["installed"].is_null());
    EXPECT_TRUE(blank["main_pid"].is_null());
    EXPECT_THAT(blank["problem"].get<std::string>(), HasSubstr("zunknown"));
    EXPECT_EQ(record(up).dump(),
              R"({"service":"a-long-service-word","installed":true,"enabled":true,"running":true,)"
              R"("main_pid":4711,"problem":null})");
}

// Enabled or running say nothing of software that is not there: "-", and
// null in the record beside "installed": false. A daemon left running after
// its package went is still shown running.
TEST_F(ServiceListTest, WhatIsNotInstalledShowsNeitherEnabledNorRunning) {
    const Row absent{.service = "hublogd", .installed = false, .enabled = true, .running = false};
    const Row left{.service = "zleft", .installed = false, .enabled = true, .running = true, .main_pid = 77};
    EXPECT_EQ(table({absent, left}),
              "SERVICE  INSTALLED  ENABLED  RUNNING  PID\n"
              "hublogd  no         -        -        -\n"
              "zleft    no         -        yes      77\n");
    const auto rec = record(absent);
    EXPECT_EQ(rec["installed"], false);
    EXPECT_TRUE(rec["enabled"].is_null());
    EXPECT_TRUE(rec["running"].is_null());
    EXPECT_TRUE(rec["problem"].is_null());
    EXPECT_EQ(record(left)["running"], true);

    // Looked at for real: a definition whose program is missing.
    define("Zgone", tmp_ / "no-such-program");
    const Row gone = look_at("zgone", {.look_only = true});
    EXPECT_EQ(gone.installed, false);
    EXPECT_THAT(table({gone}), HasSubstr("zgone    no         -        -        -"));
}

// The two FTP words drive one daemon: whatever is on disk, they never list
// differently.
TEST_F(ServiceListTest, WordsOfOneDaemonListAlike) {
    const std::string program = tmp_.write("proftpd", "#!/bin/sh\n");
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
    const Init::RunOptions look{.look_only = true};
    for (const std::string flag : {"", "proftpd.disable", "ftpd.off"}) {
        if (!flag.empty())
            tmp_.write("disabled/" + flag, "");
        auto ftpd = Catalogue::create({{"service", "ftpd"}, {"service_binary", program}}, look);
        auto proftpd = Catalogue::create({{"service", "proftpd"}, {"service_binary", program}}, look);
        EXPECT_EQ(is_installed(*ftpd), is_installed(*proftpd)) << flag;
        EXPECT_EQ(ftpd->is_enabled(), proftpd->is_enabled()) << flag;
        EXPECT_EQ(ftpd->is_enabled(), flag.empty()) << flag;
    }
}

// A web page gets a table: header cells, one row per service, every text
// escaped.
TEST_F(ServiceListTest, HtmlListingIsATable) {
    const Row row{.service = "z<b>", .installed = true, .enabled = false, .running = true, .main_pid = 9};
    EXPECT_EQ(html_table({row}),
              "<table class=\"services\">\n"
              "<tr><th>SERVICE</th><th>INSTALLED</th><th>ENABLED</th><th>RUNNING</th><th>PID</th></tr>\n"
              "<tr><td>z&lt;b&gt;</td><td>yes</td><td>no</td><td>yes</td><td>9</td></tr>\n"
              "</table>\n");
}

// The metrics hold what the table holds: a sample per told answer, none
// for one that could not be told or does not apply, label values escaped.
TEST_F(ServiceListTest, MetricsAreTheTableInThePrometheusTextFormat) {
    const std::vector<Row> rows = {
        {.service = "crond", .installed = true, .enabled = true, .running = true, .main_pid = 486},
        {.service = "httpd", .installed = false},
        {.service = "z\"q\\", .installed = true, .enabled = std::nullopt, .running = false},
    };
    const std::string text = metrics(rows);
    EXPECT_EQ(text,
              "# HELP zidavoveva_service_installed Whether the service's software is installed (1) or not (0).\n"
              "# TYPE zidavoveva_service_installed gauge\n"
              "zidavoveva_service_installed{service=\"crond\"} 1\n"
              "zidavoveva_service_installed{service=\"httpd\"} 0\n"
              "zidavoveva_service_installed{service=\"z\\\"q\\\\\"} 1\n"
              "# HELP zidavoveva_service_enabled Whether the service is enabled (1) or disabled (0).\n"
              "# TYPE zidavoveva_service_enabled gauge\n"
              "zidavoveva_service_enabled{service=\"crond\"} 1\n"
              "# HELP zidavoveva_service_running Whether the service is running (1) or not (0).\n"
              "# TYPE zidavoveva_service_running gauge\n"
              "zidavoveva_service_running{service=\"crond\"} 1\n"
              "zidavoveva_service_running{service=\"z\\\"q\\\\\"} 0\n"
              "# HELP zidavoveva_service_main_pid The process id of the service's main process.\n"
              "# TYPE zidavoveva_service_main_pid gauge\n"
              "zidavoveva_service_main_pid{service=\"crond\"} 486\n");
}

}  // namespace
}  // namespace Tavrel::Cli::ServiceList
