#include "Tavrel/Run/Binaries.h"

#include "Tavrel/Foundation/PlainError.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using Tavrel::Run::Binaries::Family;

TEST(Binaries, EachFamilyHasItsOwnLocations) {
    EXPECT_EQ(*Tavrel::Run::Binaries::path_for_family("fuser", Family::Debian), "/bin/fuser");
    EXPECT_EQ(*Tavrel::Run::Binaries::path_for_family("fuser", Family::Rhel), "/usr/sbin/fuser");
    EXPECT_EQ(*Tavrel::Run::Binaries::path_for_family("systemctl", Family::Debian), "/bin/systemctl");
    EXPECT_EQ(*Tavrel::Run::Binaries::path_for_family("systemctl", Family::Rhel), "/usr/bin/systemctl");
    EXPECT_EQ(*Tavrel::Run::Binaries::path_for_family("service", Family::Rhel), "/usr/sbin/service");
    for (const auto& [name, where] : Tavrel::Run::Binaries::system_bin_locations()) {
        for (Family f : {Family::Debian, Family::Rhel}) {
            auto p = Tavrel::Run::Binaries::path_for_family(name, f);
            ASSERT_TRUE(p);
            EXPECT_EQ(p->front(), '/') << name;
            EXPECT_EQ(std::filesystem::path(*p).filename(), name);
            if (f == Family::Rhel) {
                EXPECT_EQ(p->rfind("/usr/", 0), 0u) << name;  // merged /usr
            }
        }
    }
}

TEST(Binaries, UnknownNameIsAProgrammingFaultEmptyIsNothing) {
    try {
        Tavrel::Run::Binaries::path("no-such-program");
        FAIL() << "no exception";
    } catch (const Tavrel::Foundation::PlainError& e) {
        EXPECT_NE(std::string(e.what()).find("no-such-program"), std::string::npos);
    }
    EXPECT_FALSE(Tavrel::Run::Binaries::path(""));
}

TEST(Binaries, ProductToolWinsAndPrefixDropsOneBin) {
    // python3 is in both tables: the product's copy is the one used.
    ASSERT_TRUE(Tavrel::Run::Binaries::system_bin_locations().contains("python3"));
    EXPECT_EQ(*Tavrel::Run::Binaries::path("python3"), Tavrel::Run::Binaries::THIRD_PARTY + "/python/3/bin/python3");
    EXPECT_EQ(*Tavrel::Run::Binaries::get_prefix("python3"), Tavrel::Run::Binaries::THIRD_PARTY + "/python/3");
    EXPECT_EQ(*Tavrel::Run::Binaries::get_prefix("git"), Tavrel::Run::Binaries::THIRD_PARTY);
    EXPECT_FALSE(Tavrel::Run::Binaries::get_prefix("mount"));
}

TEST(Binaries, RuntimeToolsFollowTheInstalledVersion) {
    Tavrel::TestSupport::TempDir dir;
    auto saved = Tavrel::Run::Binaries::THIRD_PARTY;
    Tavrel::Run::Binaries::THIRD_PARTY = dir.path();
    EXPECT_EQ(Tavrel::Run::Binaries::get_php_version(), Tavrel::Run::Binaries::PHP_MAJOR);  // nothing installed: the current one
    std::filesystem::create_directories(dir / "php/74/bin");
    EXPECT_EQ(Tavrel::Run::Binaries::get_php_version(), Tavrel::Run::Binaries::PHP_LEGACY_MAJOR);
    EXPECT_EQ(*Tavrel::Run::Binaries::path("phpize"), dir.path() + "/php/74/bin/phpize");
    std::filesystem::create_directories(dir / "php/81/bin");
    EXPECT_EQ(*Tavrel::Run::Binaries::path("php"), dir.path() + "/php/81/bin/php");
    EXPECT_EQ(*Tavrel::Run::Binaries::get_prefix("pecl"), dir.path() + "/php/81");
    EXPECT_FALSE(Tavrel::Run::Binaries::dynamic_bin_location("mount"));
    auto names = Tavrel::Run::Binaries::thirdparty_binary_names();
    EXPECT_NE(std::find(names.begin(), names.end(), "php-cgi"), names.end());
    Tavrel::Run::Binaries::THIRD_PARTY = saved;
}

TEST(Binaries, TableAgreesWithThisMachine) {
    // Every program of the table that is installed here must be where the
    // table says for this machine's family.
    const char* dirs[] = {"/bin", "/sbin", "/usr/bin", "/usr/sbin"};
    Family fam = Tavrel::Run::Binaries::family();
    int checked = 0;
    for (const auto& [name, where] : Tavrel::Run::Binaries::system_bin_locations()) {
        bool installed = false;
        for (const char* d : dirs)
            installed |= access((std::string(d) + "/" + name).c_str(), X_OK) == 0;
        if (!installed)
            continue;
        ++checked;
        std::string at =
            Tavrel::Run::Binaries::dir_path(fam == Family::Rhel ? where.rhel : where.debian) + "/" + name;
        EXPECT_EQ(access(at.c_str(), X_OK), 0) << name;
    }
    EXPECT_GT(checked, 10);
}
