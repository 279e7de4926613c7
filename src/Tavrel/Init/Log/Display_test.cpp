#include "Tavrel/Init/Log/Display.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Output/Callback/Write.h"
#include "Tavrel/Server/Database/ServerConfig.h"
#include "Tavrel/Config/OS.h"
#include "Tavrel/Init/SysV/Startup.h"
#include "Tavrel/Init/SysV/StartupLog.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

namespace {

namespace Log = Tavrel::Init::Log;
using Tavrel::TestSupport::TempDir;

class DisplayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = {Tavrel::Init::SysV::StartupLog::STARTUP_LOG_DIR, Log::LOG_DIR,
                  Tavrel::Config::OS::SYSTEMD_RUN_DIR};
        Tavrel::Init::SysV::StartupLog::STARTUP_LOG_DIR = tmp_ / "startup";
        Log::LOG_DIR = tmp_ / "log";
        Tavrel::Config::OS::SYSTEMD_RUN_DIR = tmp_ / "no-systemd";
        Tavrel::Output::Base::Options o;
        o.filehandle = std::make_shared<Tavrel::Output::Callback::Write>(
            [this](std::string_view t) { written_ += t; });
        out_ = std::make_unique<Tavrel::Output::Base>(o);
    }
    void TearDown() override {
        Tavrel::Init::SysV::StartupLog::STARTUP_LOG_DIR = saved_[0];
        Log::LOG_DIR = saved_[1];
        Tavrel::Config::OS::SYSTEMD_RUN_DIR = saved_[2];
        Log::forget_run_marks();
    }
    // (type, text) of every record written.
    std::vector<std::pair<std::string, std::string>> records() const {
        std::vector<std::pair<std::string, std::string>> out;
        size_t pos = 0;
        while (pos < written_.size()) {
            size_t nl = written_.find('\n', pos);
            auto j = nlohmann::json::parse(written_.substr(pos, nl - pos));
            out.emplace_back(j.value("type", ""), j["contents"].is_string()
                                                      ? j["contents"].get<std::string>()
                                                      : j["contents"].dump());
            pos = nl + 1;
        }
        return out;
    }
    std::vector<std::string> saved_;
    std::string written_;
    std::unique_ptr<Tavrel::Output::Base> out_;
    TempDir tmp_;
};

TEST_F(DisplayTest, StartupLogUnderItsHeaderWithErrorLinesMarked) {
    Tavrel::Init::SysV::append_to_startup_log(
        "cron", "starting\ncron: error: bad minute on line 3\nwarning: slow\n");
    Log::Display display({.service = "cron", .output_obj = out_.get()});
    EXPECT_EQ(display.show_startup_log(), 1);
    auto r = records();
    ASSERT_GE(r.size(), 4u) << written_;
    EXPECT_EQ(r[0].second, Log::STARTUP_LOG_HEADER + "\n");
    EXPECT_EQ(r[1], std::make_pair(std::string("out"), std::string("starting")));
    EXPECT_EQ(r[2].first, "error");
    EXPECT_EQ(r[3].first, "warn");
}

TEST_F(DisplayTest, FailedLaunchShowsExactlyThatStartsOutputInOrder) {
    std::string daemon = tmp_.write("bin/daemon",
                                    "#!/bin/sh\necho \"run $1: reading config\"\n"
                                    "echo \"run $1: error: cannot bind port 80\" >&2\n"
                                    "echo \"run $1: exiting\"\nexit 1\n");
    ::chmod(daemon.c_str(), 0755);
    for (const char* run : {"1", "2"})
        ASSERT_TRUE(Tavrel::Init::SysV::logged_startup("tvdaemon", true, {daemon, run},
                                                       {.wait = true}));
    Log::Display({.service = "tvdaemon", .output_obj = out_.get()}).show_startup_log();
    auto r = records();
    ASSERT_EQ(r.size(), 5u) << written_;  // header, three lines, closing blank line
    EXPECT_EQ(r[1], std::make_pair(std::string("out"), std::string("run 2: reading config")));
    EXPECT_EQ(r[2],
              std::make_pair(std::string("error"), std::string("run 2: error: cannot bind port 80")));
    EXPECT_EQ(r[3], std::make_pair(std::string("out"), std::string("run 2: exiting")));
}

TEST_F(DisplayTest, NothingToShowShowsNothing) {
    tmp_.write("startup/cron", "");
    Log::Display({.service = "cron", .output_obj = out_.get()}).show_startup_log();
    EXPECT_EQ(written_, "");
    // An earlier run's failure is not this run's to show.
    tmp_.write("startup/cron", "cron: error: an earlier run's failure\n");
    Log::Display({.service = "cron", .output_obj = out_.get()}).show_startup_log();
    EXPECT_EQ(written_, "");
}

TEST_F(DisplayTest, TheDatabasesErrorLogFollowsTheStartupLog) {
    const std::string error_log = tmp_ / "mysql/error.log";
    tmp_.write("my.cnf", "[mysqld]\nlog_error = " + error_log + "\n");
    auto saved = Tavrel::Server::Database::ServerConfig::CONFIG_FILES;
    Tavrel::Server::Database::ServerConfig::CONFIG_FILES = {tmp_ / "my.cnf"};
    Log::mark_logs_at_run_start("mysql");
    Tavrel::Init::SysV::append_to_startup_log("mysql", "Starting MariaDB: mariadbd . . failed!\n");
    tmp_.write("mysql/error.log", "2026-12-09 0 [ERROR] /usr/sbin/mariadbd: unknown variable "
                                  "'no_such_option=1'\n");
    Log::Display({.service = "mysql", .output_obj = out_.get()}).show_startup_log();
    Tavrel::Server::Database::ServerConfig::CONFIG_FILES = saved;
    auto r = records();
    ASSERT_GE(r.size(), 5u) << written_;
    EXPECT_EQ(r[1].second, "Starting MariaDB: mariadbd . . failed!");
    EXPECT_EQ(r[3].second, Log::LOG_MESSAGES_HEADER + "\n");
    EXPECT_EQ(r[4].second,
              "2026-12-09 0 [ERROR] /usr/sbin/mariadbd: unknown variable 'no_such_option=1'");
}

TEST_F(DisplayTest, ServiceAndOutputAreRequired) {
    auto missing = [](Log::Display::Options o) {
        try {
            Log::Display d(std::move(o));
        } catch (const Tavrel::Foundation::Exception& e) {
            return e.type_path() + " " + e.get_text("name");
        }
        return std::string();
    };
    EXPECT_EQ(missing({.output_obj = out_.get()}), "Param::Missing service");
    EXPECT_EQ(missing({.service = "cron"}), "Param::Missing output_obj");
}

}  // namespace
