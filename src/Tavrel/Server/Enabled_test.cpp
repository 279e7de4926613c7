#include "Tavrel/Server/Enabled.h"

#include "Tavrel/Server/Panel/Analytics.h"
#include "Tavrel/Config/TvConfGuard.h"
#include "Tavrel/Server/Dovecot.h"
#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Run/GlobalCache.h"
#include "Tavrel/Server/Database/ClientConfig.h"
#include "Tavrel/Server/Type.h"
#include "Tavrel/Server/Type/Role.h"
#include "Tavrel/Server/Type/Role/EnabledCache.h"
#include "Tavrel/Server/Installed.h"
#include "Tavrel/Server/OptionalServices.h"
#include "Tavrel/Server/Monitor/Config.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace {

namespace Enabled = Tavrel::Server::Enabled;
namespace Installed = Tavrel::Server::Installed;
using Tavrel::TestSupport::TempDir;

// Points every location the enabled state reads into a temporary directory.
class EnabledTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = {Enabled::FLAG_DIR,
                  Enabled::DOVECOT_CONF_FILE,
                  Tavrel::Server::Dovecot::PROTOCOLS_FILE,
                  Tavrel::Server::Monitor::Config::SVCWATCH_DIR,
                  Tavrel::Server::Type::ZONEONLY_FILE,
                  Tavrel::Server::Type::Role::TOUCHFILE_DIR,
                  Tavrel::Server::OptionalServices::SERVICE_LIST_FILE,
                  Tavrel::Server::Database::ClientConfig::MY_CNF,
                  Tavrel::Server::Panel::Analytics::DISABLE_FILE,
                  Tavrel::Run::GlobalCache::default_product_dir()};
        Enabled::FLAG_DIR = tmp_ / "disabled";
        Enabled::DOVECOT_CONF_FILE = tmp_ / "dovecot.yaml";
        Tavrel::Server::Dovecot::PROTOCOLS_FILE = tmp_ / "protocols";
        Tavrel::Server::Monitor::Config::SVCWATCH_DIR = tmp_ / "svcwatch.d";
        Tavrel::Server::Type::ZONEONLY_FILE = tmp_ / "zoneonly";
        Tavrel::Server::Type::Role::TOUCHFILE_DIR = tmp_ / "roles";
        Tavrel::Server::OptionalServices::SERVICE_LIST_FILE = tmp_ / "services.json";
        Tavrel::Server::Database::ClientConfig::MY_CNF = tmp_ / "my.cnf";
        Tavrel::Server::Panel::Analytics::DISABLE_FILE = tmp_ / "analytics.disabled";
        Tavrel::Run::GlobalCache::default_product_dir(tmp_ / "product");
        Tavrel::Run::GlobalCache::clearcache();
        Tavrel::Server::Type::Role::EnabledCache::_unset_all();
        Tavrel::Config::TvConfGuard::memory_only = Tavrel::Config::TvConf{};
        saved_rules_ = Installed::rules();
        std::filesystem::create_directories(Tavrel::Server::Monitor::Config::SVCWATCH_DIR);
    }
    void TearDown() override {
        Enabled::FLAG_DIR = saved_[0];
        Enabled::DOVECOT_CONF_FILE = saved_[1];
        Tavrel::Server::Dovecot::PROTOCOLS_FILE = saved_[2];
        Tavrel::Server::Monitor::Config::SVCWATCH_DIR = saved_[3];
        Tavrel::Server::Type::ZONEONLY_FILE = saved_[4];
        Tavrel::Server::Type::Role::TOUCHFILE_DIR = saved_[5];
        Tavrel::Server::OptionalServices::SERVICE_LIST_FILE = saved_[6];
        Tavrel::Server::Database::ClientConfig::MY_CNF = saved_[7];
        Tavrel::Server::Panel::Analytics::DISABLE_FILE = saved_[8];
        Tavrel::Run::GlobalCache::default_product_dir(saved_[9]);
        Tavrel::Run::GlobalCache::clearcache();
        Tavrel::Server::Type::Role::EnabledCache::_unset_all();
        Tavrel::Config::TvConfGuard::memory_only.reset();
        Installed::rules() = saved_rules_;
    }
    static void installed(const std::string& code, bool yes) {
        Installed::rules()[code] = [yes] { return yes; };
    }
    std::string flag(const std::string& name) { return Enabled::FLAG_DIR + "/" + name; }

    TempDir tmp_;
    std::vector<std::string> saved_;
    std::map<std::string, Installed::Rule, std::less<>> saved_rules_;
};

// The mail server's settings file as the product writes it.
constexpr const char* MAIL_CONF = R"(# Generated mail server settings; edit through the panel.
auth_mechanisms: plain login
protocols: imap lmtp  	
ssl_min_protocol: TLSv1.2
login_greeting: ready
)";

TEST_F(EnabledTest, ImapAndPopFollowTheMailServerProtocols) {
    tmp_.write("dovecot.yaml", MAIL_CONF);
    EXPECT_EQ(Enabled::get_dovecot_enabled_protocols(), (std::set<std::string>{"imap", "lmtp"}));
    EXPECT_EQ(Enabled::is_enabled("imap"), 1);
    EXPECT_EQ(Enabled::is_enabled("pop"), 0);

    tmp_.write("dovecot.yaml", "protocols: pop3\nother: imap\n");
    EXPECT_EQ(Enabled::is_enabled("imap"), 0);
    EXPECT_EQ(Enabled::is_enabled("pop"), 1);

    // The generated protocols file wins over the settings file.
    tmp_.write("protocols", "imap pop3 lmtp\n");
    EXPECT_EQ(Enabled::is_enabled("imap"), 1);
    EXPECT_EQ(Enabled::is_enabled("pop"), 1);
}

TEST_F(EnabledTest, NoProtocolsAnywhereMeansTheDefault) {
    tmp_.write("dovecot.yaml", "ssl: required\n");
    EXPECT_EQ(Enabled::get_dovecot_enabled_protocols(),
              (std::set<std::string>{"imap", "pop3", "lmtp"}));
    std::filesystem::remove(Enabled::DOVECOT_CONF_FILE);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Enabled::is_enabled("pop"), 1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("protocols"), std::string::npos);
    // Said once in a run, however often it is asked.
    testing::internal::CaptureStderr();
    EXPECT_EQ(Enabled::is_enabled("imap"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr().find("protocols"), std::string::npos);
}

TEST_F(EnabledTest, FlagFilesSwitchAServiceOffAndOn) {
    installed("exim", true);
    EXPECT_EQ(Enabled::is_enabled("exim"), 1);
    EXPECT_EQ(Enabled::touch_disable_file("exim"), true);
    EXPECT_TRUE(std::filesystem::exists(flag("exim.disable")));
    EXPECT_EQ(Enabled::is_enabled("exim"), 0);
    // Already off: nothing more is created.
    std::filesystem::remove(flag("exim.disable"));
    tmp_.write("disabled/exim.off", "");
    EXPECT_EQ(Enabled::touch_disable_file("exim"), true);
    EXPECT_FALSE(std::filesystem::exists(flag("exim.disable")));
    EXPECT_EQ(Enabled::remove_disable_files("exim"), true);
    EXPECT_EQ(Enabled::is_enabled("exim"), 1);
    // Being installed and running does not matter: a flag is a flag.
    tmp_.write("disabled/httpd.off", "");
    installed("httpd", true);
    EXPECT_EQ(Enabled::is_enabled("httpd"), 1) << "httpd has its own list";
    tmp_.write("disabled/web.disable", "");
    EXPECT_EQ(Enabled::is_enabled("httpd"), 0);
}

TEST_F(EnabledTest, ServiceKnownToBeInstalledSkipsOnlyTheInstalledQuestion) {
    installed("ztestd", false);
    EXPECT_EQ(Enabled::is_enabled("ztestd"), 0);
    EXPECT_EQ(Enabled::is_enabled_when_installed("ztestd"), 1);
    tmp_.write("disabled/ztestd.off", "");
    EXPECT_EQ(Enabled::is_enabled_when_installed("ztestd"), 0);
    // The service's own rules still apply.
    tmp_.write("dovecot.yaml", "protocols: pop3\n");
    EXPECT_EQ(Enabled::is_enabled_when_installed("imap"), 0);
}

// Switching a service off on a fresh server: the whole flag directory path
// is made, and the modes do not depend on the umask of whoever did it.
TEST_F(EnabledTest, FlagDirectoryPathAndModesWhateverTheUmask) {
    Enabled::FLAG_DIR = tmp_ / "etc/tavrel/disabled";
    installed("exim", true);
    const mode_t saved = ::umask(077);
    const auto made = Enabled::touch_disable_file("exim");
    ::umask(saved);
    EXPECT_EQ(made, true);
    struct stat st {};
    ASSERT_EQ(::stat(flag("exim.disable").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    for (const std::string dir : {"etc", "etc/tavrel", "etc/tavrel/disabled"}) {
        ASSERT_EQ(::stat((tmp_ / dir).c_str(), &st), 0) << dir;
        EXPECT_EQ(st.st_mode & 07777, 0755u) << dir;
    }
    EXPECT_EQ(Enabled::is_enabled("exim"), 0);
}

TEST_F(EnabledTest, SymbolicLinkAtAFlagPathIsLeftAlone) {
    installed("spamd", true);
    installed("exim", true);
    std::filesystem::create_directories(Enabled::FLAG_DIR);
    std::string target = tmp_.write("elsewhere", "keep me");
    std::filesystem::create_symlink(target, flag("clamd.disable"));
    installed("clamd", true);
    EXPECT_EQ(Enabled::is_enabled("clamd"), 0) << "a link at the flag path is a flag";
    EXPECT_EQ(Enabled::remove_disable_files("clamd"), true);
    EXPECT_TRUE(std::filesystem::is_symlink(flag("clamd.disable")));
    EXPECT_EQ(TempDir::read(target), "keep me");
}

TEST_F(EnabledTest, UninstalledServiceIsDisabledUnlessExempt) {
    EXPECT_EQ(Enabled::is_enabled("memcached"), 0) << "no rule, no monitor entry";
    tmp_.write("svcwatch.d/memcached", "");
    EXPECT_EQ(Enabled::is_enabled("memcached"), 1);
    installed("clamd", false);
    tmp_.write("svcwatch.d/clamd", "");
    EXPECT_EQ(Enabled::is_enabled("clamd"), 0);
    EXPECT_EQ(Enabled::is_enabled("dns"), 1) << "an exception: decided by its flags only";
    installed("pdns", true);
    EXPECT_EQ(Enabled::is_enabled("pdns"), 1);
    tmp_.write("disabled/nameserver.disable", "");
    EXPECT_EQ(Enabled::is_enabled("dns"), 0);
    EXPECT_EQ(Enabled::is_enabled("pdns"), 0) << "the name servers share one switch";
    EXPECT_EQ(Enabled::is_enabled("hubsrvd"), 1);
    EXPECT_EQ(Enabled::is_enabled(""), -1);
}

TEST_F(EnabledTest, BadNamesAreErrorsAndTouchNothing) {
    for (const char* bad : {"../../etc/passwd", "a/b", "..", ".x"}) {
        EXPECT_THROW(Enabled::is_enabled(bad), Tavrel::Foundation::Exception) << bad;
        EXPECT_THROW(Enabled::touch_disable_file(bad), Tavrel::Foundation::Exception) << bad;
        EXPECT_THROW(Enabled::remove_disable_files(bad), Tavrel::Foundation::Exception) << bad;
    }
    EXPECT_FALSE(std::filesystem::exists(Enabled::FLAG_DIR));
}

TEST_F(EnabledTest, ConfigurationKeysAndOtherServicesDecide) {
    Tavrel::Config::TvConfGuard::memory_only = Tavrel::Config::TvConf{{"skipmailman", "1"}};
    EXPECT_EQ(Enabled::is_enabled("mailman"), 0);
    EXPECT_EQ(Enabled::service_has_files("mailman"), false);
    EXPECT_EQ(Enabled::touch_disable_file("mailman"), true);
    Tavrel::Config::TvConfGuard::memory_only = Tavrel::Config::TvConf{{"skipmailman", "0"}};
    EXPECT_EQ(Enabled::is_enabled("mailman"), 1);

    installed("spamd", true);
    installed("exim", true);
    EXPECT_EQ(Enabled::is_enabled("spamd"), 1);
    Tavrel::Config::TvConfGuard::memory_only = Tavrel::Config::TvConf{{"skipspamd", "1"}};
    EXPECT_EQ(Enabled::is_enabled("spamd"), 0);
    Tavrel::Config::TvConfGuard::memory_only = Tavrel::Config::TvConf{};
    tmp_.write("disabled/exim.disable", "");
    EXPECT_EQ(Enabled::is_enabled("spamd"), 0) << "no spam filter without the mail server";

    EXPECT_EQ(Enabled::is_enabled("exim-altport"), 0);
    tmp_.write("services.json", R"({"exim-altport": {"enabled": true, "ports": [26]}})");
    EXPECT_EQ(Enabled::is_enabled("exim-altport"), 1);

    EXPECT_EQ(Enabled::is_enabled("hubstatsd"), 1);
    tmp_.write("analytics.disabled", "");
    EXPECT_EQ(Enabled::is_enabled("hubstatsd"), 0);

    installed("mysql", true);
    tmp_.write("disabled/mysqld.disable", "");
    EXPECT_EQ(Enabled::is_enabled("mariadb"), 0) << "an alias reads the database's flags";
}

TEST_F(EnabledTest, DnsOnlyServerAnswers) {
    tmp_.write("zoneonly", "");
    tmp_.write("svcwatch.d/apache_php_fpm", "");
    EXPECT_EQ(Enabled::is_enabled("apache_php_fpm"), 0);
    for (const char* s : {"imap", "pop", "mailman", "ftpd", "hubdavd"}) {
        EXPECT_FALSE(Installed::service_is_installed(s)) << s;
    }
    EXPECT_EQ(Enabled::is_enabled("hubdavd"), 0);
    EXPECT_EQ(Enabled::is_enabled("named"), 1);
}

TEST_F(EnabledTest, RemoteDatabaseIsProvided) {
    installed("mysql", true);
    tmp_.write("disabled/mysql.disable", "");
    EXPECT_EQ(Enabled::is_enabled("mysql"), 0);
    EXPECT_EQ(Enabled::is_provided("mysql"), 0);
    tmp_.write("my.cnf",
               "[mysqld]\nhost=ignored.example\n[client]\nuser=root\nhost=\"db.example.net\"\n");
    EXPECT_EQ(Enabled::is_provided("mysql"), 1);
    tmp_.write("product/" + Tavrel::Run::GlobalCache::GLOBAL_CACHE_SUBDIR + "/mysql.json",
               R"({"data": {"is_remote": false}})");
    Tavrel::Run::GlobalCache::clearcache();
    EXPECT_EQ(Enabled::is_provided("mysql"), 0) << "the cached answer wins";
    EXPECT_EQ(Enabled::are_provided({{"mysql", "hubsrvd"}, "any"}), 1);
    EXPECT_EQ(Enabled::are_enabled({{"mysql", "hubsrvd"}, "all"}), 0);
}

}  // namespace
