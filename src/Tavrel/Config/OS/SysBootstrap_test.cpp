#include "Tavrel/Config/OS/SysBootstrap.h"

#include "Tavrel/Config/OS.h"
#include "Tavrel/Foundation/Logger.h"
#include "Tavrel/Config/OS/All.h"
#include "Tavrel/Foundation/PlainError.h"
#include "testsupport/OsIdentityFiles.h"
#include "testsupport/TempDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <filesystem>

namespace {

namespace SB = Tavrel::Config::OS::SysBootstrap;
using SB::Identity;

// Release files as the distributions ship them.
constexpr const char* DEBIAN12 = R"OS(PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"
NAME="Debian GNU/Linux"
VERSION_ID="12"
VERSION="12 (bookworm)"
VERSION_CODENAME=bookworm
ID=debian
HOME_URL="https://www.debian.org/"
)OS";
constexpr const char* UBUNTU2204 = R"OS(PRETTY_NAME="Ubuntu 22.04.4 LTS"
NAME="Ubuntu"
VERSION_ID="22.04"
VERSION="22.04.4 LTS (Jammy Jellyfish)"
VERSION_CODENAME=jammy
ID=ubuntu
ID_LIKE=debian
)OS";
constexpr const char* ALMA87 = R"OS(NAME="AlmaLinux"
VERSION="8.7 (Stone Smilodon)"
ID="almalinux"
ID_LIKE="rhel centos fedora"
VERSION_ID="8.7"
PLATFORM_ID="platform:el8"
)OS";

class SysBootstrapTest : public ::testing::Test {
  protected:
    static std::string link_target(const std::string& path) {
        std::error_code ec;
        return std::filesystem::read_symlink(path, ec).string();
    }
    static void set_link_mtime(const std::string& path, time_t t) {
        struct timespec ts[2] = {{t, 0}, {t, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW), 0);
    }

    Tavrel::TestSupport::TempDir tmp_;
    Tavrel::TestSupport::OsIdentityFiles files_{tmp_.path()};
};

TEST_F(SysBootstrapTest, ParsesStandardReleaseFiles) {
    EXPECT_EQ(SB::parse_os_release(DEBIAN12), (Identity{"linux", "debian", "12", "0", "0"}));
    EXPECT_EQ(SB::parse_os_release(UBUNTU2204), (Identity{"linux", "ubuntu", "22", "04", "4"}));
    EXPECT_EQ(SB::parse_os_release(ALMA87), (Identity{"linux", "almalinux", "8", "7", "0"}));
    EXPECT_FALSE(SB::parse_os_release("NAME=\"Nothing\"\nVERSION_ID=1\n"));
}

TEST_F(SysBootstrapTest, ParsesRedHatReleaseLines) {
    EXPECT_EQ(SB::parse_redhat_release("Red Hat Enterprise Linux release 9.4 (Plow)\n"),
              (Identity{"linux", "rhel", "9", "4", "0"}));
    EXPECT_EQ(SB::parse_redhat_release("CentOS Linux release 7.9.2009 (Core)\nsecond line 1.2.3"),
              (Identity{"linux", "centos", "7", "9", "2009"}));
    EXPECT_EQ(SB::parse_redhat_release("CloudLinux release 8 (Anatoly Filipchenko)"),
              (Identity{"linux", "cloudlinux", "8", "0", "0"}));
}

// The cache link holds five fields; anything else, or an empty field (an
// identity the release files could never have given), is not believed.
TEST_F(SysBootstrapTest, IdentityCacheTextNeedsFiveNonEmptyFields) {
    EXPECT_EQ(SB::parse_identity_cache("linux|debian|12|0|0"),
              (Identity{"linux", "debian", "12", "0", "0"}));
    EXPECT_FALSE(SB::parse_identity_cache("linux||||"));
    EXPECT_FALSE(SB::parse_identity_cache("linux|debian|12|0|"));
    EXPECT_FALSE(SB::parse_identity_cache("linux|debian|12|0|0|extra"));
    EXPECT_FALSE(SB::parse_identity_cache("linux|debian|12"));
    EXPECT_FALSE(SB::parse_identity_cache(""));
}

TEST_F(SysBootstrapTest, StandardFileWinsAndRedHatFileIsTheFallback) {
    tmp_.write("redhat-release", "Rocky Linux release 9.3 (Blue Onyx)\n");
    EXPECT_EQ(SB::get_os_without_cache()->distro, "rocky");
    tmp_.write("os-release", ALMA87);
    EXPECT_EQ(SB::get_os_without_cache()->distro, "almalinux");
    EXPECT_EQ(SB::get_os_without_cache(true)->distro, "rocky");
}

TEST_F(SysBootstrapTest, RootCachesTheIdentityAndRefreshesAStaleCache) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root writes the identity cache";
    tmp_.write("os-release", DEBIAN12);
    Identity id = SB::get_os_info(SB::ACKNOWLEDGE_TOKEN);
    EXPECT_EQ(id.distro, "debian");
    EXPECT_EQ(link_target(SB::CACHE_LINK), "linux|debian|12|0|0");
    struct stat st;
    ASSERT_EQ(::stat(SB::CACHE_DIR.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0711u);

    // A cache older than the release file is ignored and rewritten.
    ::unlink(SB::CACHE_LINK.c_str());
    ASSERT_EQ(::symlink("linux|debian|11|0|0", SB::CACHE_LINK.c_str()), 0);
    set_link_mtime(SB::CACHE_LINK, ::time(nullptr) - 100);
    EXPECT_EQ(SB::get_os_info(SB::ACKNOWLEDGE_TOKEN).major, "12");
    EXPECT_EQ(link_target(SB::CACHE_LINK), "linux|debian|12|0|0");

    // A newer cache is believed.
    ::unlink(SB::CACHE_LINK.c_str());
    ASSERT_EQ(::symlink("linux|debian|11|0|0", SB::CACHE_LINK.c_str()), 0);
    set_link_mtime(SB::CACHE_LINK, ::time(nullptr) + 100);
    EXPECT_EQ(SB::get_os_info(SB::ACKNOWLEDGE_TOKEN).major, "11");
}

TEST_F(SysBootstrapTest, ForcedIdentityIsUsedWhateverItsAgeAndSurvivesAFlush) {
    tmp_.write("os-release", DEBIAN12);
    std::filesystem::create_directories(SB::CACHE_DIR);
    ASSERT_EQ(::symlink("linux|rocky|9|3|0", SB::CACHE_LINK.c_str()), 0);
    ASSERT_EQ(::symlink("forced", SB::CUSTOM_LINK.c_str()), 0);
    set_link_mtime(SB::CACHE_LINK, 1000);
    EXPECT_EQ(SB::get_os_info(SB::ACKNOWLEDGE_TOKEN).distro, "rocky");
    EXPECT_FALSE(Tavrel::Config::OS::flush_disk_caches());
    EXPECT_EQ(link_target(SB::CACHE_LINK), "linux|rocky|9|3|0");
    ::unlink(SB::CUSTOM_LINK.c_str());
    EXPECT_TRUE(Tavrel::Config::OS::flush_disk_caches());
    EXPECT_FALSE(std::filesystem::is_symlink(SB::CACHE_LINK));
}

TEST_F(SysBootstrapTest, UnidentifiableSystemAndWrongTokenAreFatal) {
    tmp_.write("os-release", "ID=debian\n");  // no version anywhere
    EXPECT_THROW(SB::get_os_info(SB::ACKNOWLEDGE_TOKEN), Tavrel::Foundation::PlainError);
    EXPECT_THROW(SB::get_os_info("please"), Tavrel::Foundation::PlainError);
}

TEST_F(SysBootstrapTest, FactsFollowTheRelease) {
    tmp_.write("os-release", DEBIAN12);
    EXPECT_EQ(Tavrel::Config::OS::pretty_distro(), "Debian 12");
    EXPECT_EQ(Tavrel::Config::OS::systemd_unit_name("sshd"), "ssh");
    EXPECT_EQ(Tavrel::Config::OS::systemd_unit_name("crond"), "cron");
    EXPECT_EQ(Tavrel::Config::OS::systemd_unit_name("httpd"), "apache2");
    EXPECT_EQ(Tavrel::Config::OS::systemd_unit_name("nscd"), "nscd");
    EXPECT_EQ(Tavrel::Config::OS::package_manager_module(), "Apt");
    EXPECT_TRUE(Tavrel::Config::OS::list_contains_value("system_package_managers", "dpkg"));
    EXPECT_FALSE(Tavrel::Config::OS::list_contains_value("system_package_managers", std::nullopt));
    EXPECT_THROW(Tavrel::Config::OS::list_contains_value("cron_bin_path", "x"), Tavrel::Foundation::PlainError);
    EXPECT_THROW(Tavrel::Config::OS::fact("no_such_fact"), Tavrel::Foundation::PlainError);
    EXPECT_EQ(Tavrel::Config::OS::fact("maillog_path"), "/var/log/mail.log");

    Tavrel::Config::OS::clear_cache();
    ::unlink(SB::CACHE_LINK.c_str());
    tmp_.write("os-release", "ID=rhel\nVERSION_ID=\"9.4\"\n");
    EXPECT_EQ(Tavrel::Config::OS::systemd_unit_name("sshd"), "sshd");
    EXPECT_EQ(Tavrel::Config::OS::systemd_unit_name("crond"), "crond");
    EXPECT_EQ(Tavrel::Config::OS::systemd_unit_name("mysql"), "mysqld");
    EXPECT_EQ(Tavrel::Config::OS::cron_bin_path(), "/usr/sbin/crond");
    EXPECT_EQ(Tavrel::Config::OS::package_manager_module(), "Yum");
    EXPECT_NO_THROW(Tavrel::Config::OS::assert_unreachable_on_ubuntu());

    Tavrel::Config::OS::clear_cache();
    ::unlink(SB::CACHE_LINK.c_str());
    tmp_.write("os-release", "ID=gentoo\nVERSION_ID=2.15\n");
    EXPECT_EQ(Tavrel::Config::OS::distro(), "gentoo");
    EXPECT_EQ(Tavrel::Config::OS::pretty_distro(), "Linux");
    EXPECT_TRUE(Tavrel::Config::OS::systemd_service_name_map().empty());
}

// Releases newer than the table: the current ones are listed, a later release
// of a known family inherits its nearest relative's facts (with a notice in
// the log), and what no record answers is an error naming the fact.
TEST_F(SysBootstrapTest, UnknownReleasesInheritTheirFamilysFacts) {
    const std::string saved_log = Tavrel::Foundation::Logger::STD_LOG_FILE;
    Tavrel::Foundation::Logger::STD_LOG_FILE = tmp_ / "error_log";
    Tavrel::Foundation::Logger::clear_singleton_stash();
    auto identify = [this](const std::string& release) {
        Tavrel::Config::OS::clear_cache();
        ::unlink(SB::CACHE_LINK.c_str());
        tmp_.write("os-release", release);
    };

    identify("ID=debian\nVERSION_ID=\"13\"\n");
    EXPECT_EQ(Tavrel::Config::OS::systemd_unit_name("httpd"), "apache2");
    EXPECT_EQ(Tavrel::Config::OS::package_manager_module(), "Apt");
    identify("ID=ubuntu\nVERSION_ID=\"26.04\"\n");
    EXPECT_EQ(Tavrel::Config::OS::pretty_distro(), "Ubuntu 26.04");
    identify("ID=\"almalinux\"\nVERSION_ID=\"10.0\"\n");
    EXPECT_EQ(Tavrel::Config::OS::systemd_unit_name("mysql"), "mysqld");
    EXPECT_EQ(Tavrel::TestSupport::TempDir::read(tmp_ / "error_log"), "");  // listed: no notice

    identify("ID=debian\nVERSION_ID=\"14\"\n");
    EXPECT_EQ(Tavrel::Config::OS::systemd_unit_name("httpd"), "apache2");
    EXPECT_EQ(Tavrel::Config::OS::package_manager(), "apt");
    EXPECT_EQ(Tavrel::Config::OS::pretty_distro(), "Debian 14");
    EXPECT_EQ(Tavrel::Config::OS::base_distro(), "debian");
    EXPECT_NE(Tavrel::TestSupport::TempDir::read(tmp_ / "error_log")
                  .find("Debian 14, a release without platform facts of its own; using those "
                        "of Debian13"),
              std::string::npos);

    identify("ID=rocky\nVERSION_ID=\"11.1\"\n");
    EXPECT_EQ(Tavrel::Config::OS::systemd_unit_name("spamd"), "spamassassin");
    EXPECT_EQ(Tavrel::Config::OS::cron_bin_path(), "/usr/sbin/crond");
    identify("ID=\"ol\"\nVERSION_ID=\"9.5\"\n");  // a rebuild the table does not list
    EXPECT_EQ(Tavrel::Config::OS::package_manager_module(), "Yum");
    EXPECT_EQ(Tavrel::Config::OS::pretty_distro(), "Oracle Linux 9");
    identify("ID=debian\nVERSION_ID=\"9\"\n");  // older than the table: the nearest
    EXPECT_EQ(Tavrel::Config::OS::systemd_unit_name("spamd"), "spamassassin");

    identify("ID=gentoo\nVERSION_ID=2.15\n");
    try {
        Tavrel::Config::OS::package_manager();
        ADD_FAILURE() << "an unknown system answered its package manager";
    } catch (const Tavrel::Foundation::PlainError& e) {
        EXPECT_NE(std::string(e.what()).find("package_manager is not known for Linux"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_THROW(Tavrel::Config::OS::package_manager_module(), Tavrel::Foundation::PlainError);
    EXPECT_THROW(Tavrel::Config::OS::list_contains_value("system_package_managers", "rpm"),
                 Tavrel::Foundation::PlainError);

    Tavrel::Config::OS::clear_cache();
    Tavrel::Foundation::Logger::STD_LOG_FILE = saved_log;
    Tavrel::Foundation::Logger::clear_singleton_stash();
}

TEST(OSFactsTest, TableNamesEveryReleaseAndTheMethodsAreSorted) {
    EXPECT_EQ(Tavrel::Config::OS::lookup_pretty_distro("debian12"), "Debian 12");
    EXPECT_EQ(Tavrel::Config::OS::lookup_pretty_distro("Ubuntu24"), "Ubuntu 24.04");
    EXPECT_EQ(Tavrel::Config::OS::lookup_pretty_distro("cloudlinux8"), "CloudLinux 8");
    EXPECT_FALSE(Tavrel::Config::OS::lookup_pretty_distro("debian"));
    EXPECT_FALSE(Tavrel::Config::OS::lookup_pretty_distro("cloudlinux7"));
    EXPECT_EQ(Tavrel::Config::OS::lookup_pretty_distro("debian13"), "Debian 13");
    EXPECT_EQ(Tavrel::Config::OS::lookup_pretty_distro("rocky10"), "Rocky Linux 10");
    EXPECT_EQ(Tavrel::Config::OS::lookup_pretty_distro("ubuntu26"), "Ubuntu 26.04");
    EXPECT_EQ(Tavrel::Config::OS::All::supported_distros().size(), 18u);
    auto methods = Tavrel::Config::OS::supported_methods();
    EXPECT_TRUE(std::is_sorted(methods.begin(), methods.end()));
    EXPECT_NE(std::find(methods.begin(), methods.end(), "is_systemd"), methods.end());
}

TEST(OSFactsTest, IsSystemdFollowsTheRunDirectory) {
    Tavrel::TestSupport::TempDir tmp;
    std::string saved = Tavrel::Config::OS::SYSTEMD_RUN_DIR;
    Tavrel::Config::OS::SYSTEMD_RUN_DIR = tmp / "run/systemd/system";
    EXPECT_FALSE(Tavrel::Config::OS::is_systemd());
    std::filesystem::create_directories(Tavrel::Config::OS::SYSTEMD_RUN_DIR);
    EXPECT_TRUE(Tavrel::Config::OS::is_systemd());
    Tavrel::Config::OS::SYSTEMD_RUN_DIR = saved;
}

// This machine: the real release file and the real /run.
TEST(OSFactsTest, ThisMachineIsDebian12WithoutSystemd) {
    std::string text = Tavrel::TestSupport::TempDir::read("/etc/os-release");
    auto id = SB::parse_os_release(text);
    if (!id || id->distro != "debian" || id->major != "12") {
        GTEST_SKIP() << "not a Debian 12 machine";
    }
    Tavrel::TestSupport::TempDir tmp;
    std::string saved_dir = SB::CACHE_DIR, saved_link = SB::CACHE_LINK;
    SB::CACHE_DIR = tmp / "os";  // keep the machine's own cache untouched
    SB::CACHE_LINK = SB::CACHE_DIR + "/identity";
    Tavrel::Config::OS::clear_cache();
    EXPECT_EQ(Tavrel::Config::OS::distro(), "debian");
    EXPECT_EQ(Tavrel::Config::OS::major(), "12");
    EXPECT_EQ(Tavrel::Config::OS::pretty_distro(), "Debian 12");
    bool booted_with_systemd = std::filesystem::is_directory("/run/systemd/system");
    EXPECT_EQ(Tavrel::Config::OS::is_systemd(), booted_with_systemd);
    if (booted_with_systemd) {
        std::cout << "note: this machine runs systemd; expected the unbooted build machine\n";
    }
    SB::CACHE_DIR = saved_dir;
    SB::CACHE_LINK = saved_link;
    Tavrel::Config::OS::clear_cache();
}

}  // namespace

namespace {

// The probe of the end-to-end run: prints what this host is, and checks it
// against TAVREL_EXPECT_SYSTEMD ("1" or "0") when that is set.
TEST(OSFactsTest, ReportsTheRunningInit) {
    Tavrel::TestSupport::TempDir tmp;
    std::string saved_dir = SB::CACHE_DIR, saved_link = SB::CACHE_LINK;
    SB::CACHE_DIR = tmp / "os";  // a unit test leaves the machine's cache alone
    SB::CACHE_LINK = SB::CACHE_DIR + "/identity";
    Tavrel::Config::OS::clear_cache();
    bool systemd = Tavrel::Config::OS::is_systemd();
    std::string distro;
    try {
        distro = Tavrel::Config::OS::distro() + " " + Tavrel::Config::OS::major();
    } catch (const std::exception& e) {
        distro = std::string("unidentified (") + e.what() + ")";
    }
    std::cout << "is_systemd=" << systemd << " distribution=" << distro << "\n";
    if (const char* expect = std::getenv("TAVREL_EXPECT_SYSTEMD")) {
        EXPECT_EQ(systemd, std::string(expect) == "1");
    }
    SB::CACHE_DIR = saved_dir;
    SB::CACHE_LINK = saved_link;
    Tavrel::Config::OS::clear_cache();
}

}  // namespace
