// The small helpers: _is_installed, is_service_disabled, find_mysqladmin and
// the choice of output object.
#include "Tavrel/Init/InstalledQuick.h"

#include "Tavrel/Server/Enabled.h"
#include "Tavrel/Init/Disabled.h"
#include "Tavrel/Init/SysV/Script.h"
#include "Tavrel/Server/Database/Mysqladmin.h"
#include "Tavrel/Cli/OutputObject.h"
#include "Tavrel/Cli/Parseargv.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

namespace {

using Tavrel::TestSupport::TempDir;
namespace Enabled = Tavrel::Server::Enabled;

class HelpersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = {Tavrel::Init::SysV::Script::INIT_D_DIR, Tavrel::Init::NAMED_BIN, Enabled::FLAG_DIR};
        saved_dirs_ = Tavrel::Server::Database::MYSQLADMIN_DIRS;
        Tavrel::Init::SysV::Script::INIT_D_DIR = tmp_ / "init.d";
        Tavrel::Init::NAMED_BIN = tmp_ / "sbin/named";
        Enabled::FLAG_DIR = tmp_ / "disabled";
        std::filesystem::create_directories(Tavrel::Init::SysV::Script::INIT_D_DIR);
        std::filesystem::create_directories(Enabled::FLAG_DIR);
    }
    void TearDown() override {
        Tavrel::Init::SysV::Script::INIT_D_DIR = saved_[0];
        Tavrel::Init::NAMED_BIN = saved_[1];
        Enabled::FLAG_DIR = saved_[2];
        Tavrel::Server::Database::MYSQLADMIN_DIRS = saved_dirs_;
    }
    std::string executable(const std::string& rel, mode_t mode = 0755) {
        std::string path = tmp_.write(rel, "#!/bin/sh\n");
        ::chmod(path.c_str(), mode);
        return path;
    }
    std::vector<std::string> saved_;
    std::vector<std::string> saved_dirs_;
    TempDir tmp_;
};

TEST_F(HelpersTest, NameServerNeedsItsProgramAndAScript) {
    EXPECT_EQ(Tavrel::Init::_is_installed("cron"), 1);
    EXPECT_EQ(Tavrel::Init::_is_installed("named"), 0);
    executable("sbin/named", 0644);
    executable("init.d/bind9");
    EXPECT_EQ(Tavrel::Init::_is_installed("named"), 0);  // program not executable
    ::chmod(Tavrel::Init::NAMED_BIN.c_str(), 0755);
    EXPECT_EQ(Tavrel::Init::_is_installed("named"), 1);
    std::filesystem::remove(tmp_ / "init.d/bind9");
    EXPECT_EQ(Tavrel::Init::_is_installed("named"), 0);
    EXPECT_EQ(Tavrel::Init::_is_installed("bind"), 0);
    executable("init.d/named-chroot");
    EXPECT_EQ(Tavrel::Init::_is_installed("bind"), 1);
}

TEST_F(HelpersTest, DisabledByFlagFileOrWhenNotInstalled) {
    EXPECT_EQ(Tavrel::Init::is_service_disabled("cron"), 0);
    tmp_.write("disabled/cron" + Enabled::FLAG_SUFFIX, "");
    EXPECT_EQ(Tavrel::Init::is_service_disabled("cron"), 1);
    std::filesystem::create_directory(tmp_ / ("disabled/crond" + Enabled::FLAG_SUFFIX));
    EXPECT_EQ(Tavrel::Init::is_service_disabled("crond"), 0);  // only a regular file counts
    EXPECT_EQ(Tavrel::Init::is_service_disabled("named"), 1);  // not installed
    EXPECT_EQ(Tavrel::Init::is_service_disabled("../cron"), 1);
    EXPECT_EQ(Tavrel::Init::is_service_disabled(""), 1);
}

TEST_F(HelpersTest, MysqladminFromTheFirstDirectoryThatHasIt) {
    Tavrel::Server::Database::MYSQLADMIN_DIRS = {tmp_ / "a", tmp_ / "b", tmp_ / "c"};
    EXPECT_EQ(Tavrel::Server::Database::find_mysqladmin(), std::nullopt);
    executable("c/mysqladmin");
    executable("b/mysqladmin");
    EXPECT_EQ(Tavrel::Server::Database::find_mysqladmin(), tmp_ / "b/mysqladmin");
}

TEST(OutputObject, JsonWinsOverHtmlWhichWinsOverTheTerminal) {
    auto kind = [](const std::vector<std::string>& args) {
        return Tavrel::Cli::output_object_for(Tavrel::Cli::parse_options(args))->class_name();
    };
    EXPECT_EQ(kind({"--restart", "--html"}), "Tavrel::Output::Formatted::HTML");
    EXPECT_EQ(kind({"crond", "html"}), "Tavrel::Output::Formatted::HTML");
    EXPECT_EQ(kind({"--html", "--json"}), "Tavrel::Output");
    EXPECT_EQ(kind({"--restart", "xhtml"}), "Tavrel::Output::Formatted::Terminal");
}

}  // namespace
