#include "Tavrel/Server/Pkgr/Apt.h"

#include "Tavrel/Server/Pkgr.h"
#include "Tavrel/Server/Pkgr/Yum.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Run/SafeRun/Object.h"

#include <gtest/gtest.h>
#include <unistd.h>

using Tavrel::Server::Pkgr::Apt;

namespace {

// Captured from dpkg-query on a Debian 12 server, in the format the back-end
// asks for, standard error merged as the wrapper merges it. hdparm had been
// installed and removed without purging: its configuration file remains ("rc").
constexpr const char* DPKG_SAMPLE =
    "ii  coreutils 9.1-1 amd64\n"
    "ii  dpkg 1.21.22 amd64\n"
    "rc  hdparm 9.65+ds-1 amd64\n"
    "ii  libc6 2.36-9+deb12u14 amd64\n"
    "ii  tzdata 2025b-0+deb12u2 all\n"
    "dpkg-query: no packages found matching nonexistent-pkg-xyz\n";

bool have_dpkg_query() {
    return access("/usr/bin/dpkg-query", X_OK) == 0;
}

std::string real_version(const std::string& package) {
    Tavrel::Run::SafeRun::Options o;
    o.program = "/usr/bin/dpkg-query";
    o.args = {"-W", "-f", "${Version}", package};
    return Tavrel::Run::SafeRun::Object(std::move(o)).stdout_text();
}

}  // namespace

TEST(PkgrApt, ParsesInstalledPackagesOnly) {
    auto versions = Apt::parse_show_output(DPKG_SAMPLE, false);
    EXPECT_EQ(versions.size(), 4u);
    EXPECT_EQ(versions.at("coreutils"), "9.1-1");
    EXPECT_EQ(versions.at("libc6"), "2.36-9+deb12u14");
    EXPECT_EQ(versions.at("tzdata"), "2025b-0+deb12u2");
    EXPECT_FALSE(versions.contains("hdparm"));  // removed, configuration kept
    EXPECT_FALSE(versions.contains("dpkg-query:"));
    auto with_arch = Apt::parse_show_output(DPKG_SAMPLE, true);
    EXPECT_EQ(with_arch.at("coreutils"), "9.1-1.amd64");
    EXPECT_EQ(with_arch.at("tzdata"), "2025b-0+deb12u2.all");
    EXPECT_TRUE(Apt::parse_show_output("", false).empty());
    EXPECT_TRUE(Apt::parse_show_output("ii  truncated-line\n", false).empty());
}

// A package the administrator put on hold is installed all the same; so is
// one marked for removal that is still there. Only the state letter counts.
TEST(PkgrApt, HeldPackagesCountAsInstalled) {
    auto versions = Apt::parse_show_output(
        "hi  mariadb-server 1:10.11.6-0+deb12u1 amd64\n"
        "ri  exim4-daemon-light 4.96-15+deb12u4 amd64\n"
        "un  proftpd-basic <none> <none>\n"
        "rc  hdparm 9.65+ds-1 amd64\n"
        "hiR apache2 2.4.62-1~deb12u1 amd64\n",
        false);
    EXPECT_EQ(versions.size(), 3u);
    EXPECT_EQ(versions.at("mariadb-server"), "1:10.11.6-0+deb12u1");
    EXPECT_TRUE(versions.contains("exim4-daemon-light"));
    EXPECT_TRUE(versions.contains("apache2"));
    using Tavrel::Server::Pkgr::is_installed_status;
    EXPECT_TRUE(is_installed_status("ii "));
    EXPECT_TRUE(is_installed_status("hi "));
    EXPECT_FALSE(is_installed_status("rc "));
    EXPECT_FALSE(is_installed_status("hU "));  // unpacked, not configured
    EXPECT_FALSE(is_installed_status("un "));
    EXPECT_FALSE(is_installed_status("i"));
    EXPECT_FALSE(is_installed_status(""));
}

TEST(PkgrApt, RealDpkgQuery) {
    if (!have_dpkg_query())
        GTEST_SKIP() << "not a Debian-family machine";
    Apt apt;
    auto versions = apt.get_version_for_packages({"coreutils", "dpkg", "nonexistent-pkg-xyz"});
    EXPECT_EQ(versions.size(), 2u);
    EXPECT_EQ(versions.at("coreutils"), real_version("coreutils"));
    EXPECT_EQ(apt.get_package_version("dpkg"), real_version("dpkg"));
    EXPECT_FALSE(apt.get_package_version("nonexistent-pkg-xyz"));
    EXPECT_TRUE(apt.is_installed("coreutils"));
    EXPECT_FALSE(apt.is_installed("nonexistent-pkg-xyz"));
    // A removed-but-configured package on this machine, when there is one.
    Tavrel::Run::SafeRun::Options o;
    o.program = "/usr/bin/dpkg-query";
    o.args = {"-W", "-f", "${db:Status-Abbrev}", "hdparm"};
    if (Tavrel::Run::SafeRun::Object(std::move(o)).stdout_text().rfind("rc", 0) == 0) {
        EXPECT_FALSE(apt.get_package_version("hdparm"));
        EXPECT_FALSE(apt.is_installed("hdparm"));
    }
    Apt with_arch({.with_arch_suffix = true});
    auto v = with_arch.get_package_version("coreutils");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->rfind('.'), real_version("coreutils").size());
}

TEST(PkgrRpm, ParsesQueryOutputDroppingMissingPackages) {
    // The RPM tool's answer for one installed and one missing package.
    auto versions = Tavrel::Server::PackageTools::Rpm::parse_query_output(
        "httpd 2.4.57-5.el9\n"
        "package exim is not installed\n"
        "odd-line-without-version\n");
    EXPECT_EQ(versions.size(), 2u);
    EXPECT_EQ(versions.at("httpd"), "2.4.57-5.el9");
    EXPECT_FALSE(versions.at("odd-line-without-version"));
    EXPECT_FALSE(versions.contains("exim"));
    EXPECT_THROW(Tavrel::Server::PackageTools::Rpm().get_version({}), Tavrel::Foundation::PlainError);
    EXPECT_THROW(Tavrel::Server::Pkgr::Yum().has_rpm(""), Tavrel::Foundation::PlainError);
}

TEST(PkgrFacade, OneBackEndPerProcessFromTheFactory) {
    auto saved = Tavrel::Server::Pkgr::factory;
    int made = 0;
    Tavrel::Server::Pkgr::factory = [&made] {
        ++made;
        return Tavrel::Server::Pkgr::create("Yum");
    };
    Tavrel::Server::Pkgr::reset_instance();
    EXPECT_EQ(Tavrel::Server::Pkgr::instance().name(), "Yum");
    EXPECT_EQ(Tavrel::Server::Pkgr::instance().name(), "Yum");
    EXPECT_EQ(made, 1);
    EXPECT_THROW(Tavrel::Server::Pkgr::create("Pacman"), Tavrel::Foundation::PlainError);
    Tavrel::Server::Pkgr::factory = saved;
    Tavrel::Server::Pkgr::reset_instance();
    if (have_dpkg_query()) {
        EXPECT_EQ(Tavrel::Server::Pkgr::instance().name(), "Apt");
        EXPECT_TRUE(Tavrel::Server::Pkgr::is_installed("coreutils"));
    }
    Tavrel::Server::Pkgr::reset_instance();
}
