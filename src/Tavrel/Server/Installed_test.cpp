#include "Tavrel/Server/Installed.h"

#include "Tavrel/Server/Database/Binaries.h"
#include "Tavrel/Run/FindBin.h"
#include "Tavrel/Server/Panel/PhpFpm.h"
#include "Tavrel/Server/Monitor/Config.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

namespace {

namespace Installed = Tavrel::Server::Installed;
using Tavrel::TestSupport::TempDir;

std::string executable(const TempDir& tmp, const std::string& name) {
    std::string path = tmp.write(name, "#!/bin/sh\n");
    ::chmod(path.c_str(), 0755);
    return path;
}

class InstalledTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_dir_ = Tavrel::Server::Monitor::Config::SVCWATCH_DIR;
        Tavrel::Server::Monitor::Config::SVCWATCH_DIR = tmp_ / "svcwatch.d";
        std::filesystem::create_directories(Tavrel::Server::Monitor::Config::SVCWATCH_DIR);
        saved_rules_ = Installed::rules();
    }
    void TearDown() override {
        Tavrel::Server::Monitor::Config::SVCWATCH_DIR = saved_dir_;
        Installed::rules() = saved_rules_;
    }
    TempDir tmp_;
    std::string saved_dir_;
    std::map<std::string, Installed::Rule, std::less<>> saved_rules_;
};

TEST_F(InstalledTest, RulesMonitorEntriesAndTheAlwaysList) {
    EXPECT_TRUE(Installed::service_is_installed("hubsrvd"));
    EXPECT_TRUE(Installed::service_is_installed("hublogd"));
    EXPECT_FALSE(Installed::service_is_installed("memcached"));
    EXPECT_FALSE(Installed::service_is_known("memcached"));
    tmp_.write("svcwatch.d/memcached", "");
    EXPECT_TRUE(Installed::service_is_installed("memcached"));
    EXPECT_TRUE(Installed::service_is_known("memcached"));
    EXPECT_TRUE(Installed::service_is_known("hubsrvd"));
    // A rule that says no wins over a monitor entry.
    Installed::rules()["clamd"] = [] { return false; };
    tmp_.write("svcwatch.d/clamd", "");
    EXPECT_FALSE(Installed::service_is_installed("clamd"));
    // A service with a rule is known, whatever the rule says.
    ::unlink((tmp_ / "svcwatch.d/clamd").c_str());
    EXPECT_TRUE(Installed::service_is_known("clamd"));
    // The dash of a service name is an underscore in its rule's name.
    bool asked = false;
    Installed::rules()["exim_altport"] = [&asked] { return asked = true; };
    EXPECT_TRUE(Installed::service_is_installed("exim-altport"));
    EXPECT_TRUE(asked);
}

TEST_F(InstalledTest, ForbiddenCharactersAreRefusedWithAWarning) {
    tmp_.write("svcwatch.d/a b", "");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(Installed::service_is_installed("a b"));
    EXPECT_FALSE(Installed::service_is_installed("../svcwatch.d/x"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("a b"), std::string::npos);
}

TEST(FindBinTest, SearchesOnlyTheGivenDirectoriesForRunnableFiles) {
    TempDir tmp;
    std::string dir1 = tmp / "one", dir2 = tmp / "two";
    tmp.write("one/proftpd", "not runnable");
    executable(tmp, "two/proftpd");
    std::filesystem::create_directories(tmp / "one/pure-ftpd");  // a directory is no program
    EXPECT_EQ(Tavrel::Run::FindBin::findbin("proftpd", {dir1, dir2}), dir2 + "/proftpd");
    EXPECT_FALSE(Tavrel::Run::FindBin::findbin("pure-ftpd", {dir1, dir2}));
    EXPECT_FALSE(Tavrel::Run::FindBin::findbin("two/proftpd", {tmp.path()}));
    EXPECT_EQ(Tavrel::Run::FindBin::findbin("sh", {"/nonexistent", "/bin"}), "/bin/sh");
}

TEST(DbUtilsTest, FindsTheNewestPostgresAndTheDatabaseServer) {
    TempDir tmp;
    auto saved_paths = Tavrel::Server::Database::Binaries::POSTMASTER_PATHS;
    auto saved_dir = Tavrel::Server::Database::Binaries::POSTGRES_DEBIAN_DIR;
    auto saved_prefix = Tavrel::Server::Database::Binaries::POSTGRES_PGSQL_PREFIX;
    auto saved_mysqld = Tavrel::Server::Database::Binaries::MYSQLD_PATHS;
    Tavrel::Server::Database::Binaries::POSTMASTER_PATHS = {tmp / "usr/bin/postgres"};
    Tavrel::Server::Database::Binaries::POSTGRES_DEBIAN_DIR = tmp / "usr/lib/postgresql";
    Tavrel::Server::Database::Binaries::POSTGRES_PGSQL_PREFIX = tmp / "usr/pgsql-";
    Tavrel::Server::Database::Binaries::MYSQLD_PATHS = {tmp / "mariadbd", tmp / "mysqld"};

    EXPECT_FALSE(Tavrel::Server::Database::Binaries::find_postmaster());
    executable(tmp, "usr/pgsql-9.6/bin/postgres");
    EXPECT_EQ(Tavrel::Server::Database::Binaries::find_postmaster(), tmp / "usr/pgsql-9.6/bin/postgres");
    executable(tmp, "usr/lib/postgresql/9/bin/postgres");
    executable(tmp, "usr/lib/postgresql/15/bin/postgres");
    EXPECT_EQ(Tavrel::Server::Database::Binaries::find_postmaster(), tmp / "usr/lib/postgresql/15/bin/postgres");

    EXPECT_FALSE(Tavrel::Server::Database::Binaries::find_mysqld());
    executable(tmp, "mysqld");
    EXPECT_EQ(Tavrel::Server::Database::Binaries::find_mysqld(), tmp / "mysqld");

    Tavrel::Server::Database::Binaries::POSTMASTER_PATHS = saved_paths;
    Tavrel::Server::Database::Binaries::POSTGRES_DEBIAN_DIR = saved_dir;
    Tavrel::Server::Database::Binaries::POSTGRES_PGSQL_PREFIX = saved_prefix;
    Tavrel::Server::Database::Binaries::MYSQLD_PATHS = saved_mysqld;
}

TEST(PhpFpmTest, AVersionNeedsItsConfigurationAndItsProgram) {
    TempDir tmp;
    auto saved_etc = Tavrel::Server::Panel::PhpFpm::PHP_ETC_DIR;
    auto saved_bin = Tavrel::Server::Panel::PhpFpm::PHP_FPM_BIN_PREFIX;
    Tavrel::Server::Panel::PhpFpm::PHP_ETC_DIR = tmp / "etc/php";
    Tavrel::Server::Panel::PhpFpm::PHP_FPM_BIN_PREFIX = tmp / "sbin/php-fpm";
    tmp.write("etc/php/8.2/fpm/php-fpm.conf", "[global]\n");
    tmp.write("etc/php/7.4/fpm/php-fpm.conf", "[global]\n");
    tmp.write("etc/php/8.1/cli/php.ini", "");
    executable(tmp, "sbin/php-fpm8.2");
    executable(tmp, "sbin/php-fpm8.1");
    EXPECT_EQ(Tavrel::Server::Panel::PhpFpm::get_phpfpm_versions(), std::vector<std::string>{"8.2"});
    Tavrel::Server::Panel::PhpFpm::PHP_ETC_DIR = saved_etc;
    Tavrel::Server::Panel::PhpFpm::PHP_FPM_BIN_PREFIX = saved_bin;
}

}  // namespace
