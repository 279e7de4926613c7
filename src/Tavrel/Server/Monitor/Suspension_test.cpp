#include "Tavrel/Server/Monitor/Suspension.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Server/Monitor/Suspended.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

namespace {

namespace Suspension = Tavrel::Server::Monitor::Suspension;
using Tavrel::TestSupport::TempDir;

class TinyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = Suspension::SERVICE_SUSPEND_DIR;
        Suspension::SERVICE_SUSPEND_DIR = tmp_ / "svcwatch/suspended";
    }
    void TearDown() override { Suspension::SERVICE_SUSPEND_DIR = saved_; }
    std::string file(const std::string& s) { return Suspension::SERVICE_SUSPEND_DIR + "/" + s; }

    TempDir tmp_;
    std::string saved_;
};

TEST_F(TinyTest, DelayDefaultsAndIsCapped) {
    const time_t now = 1700000000;
    ASSERT_EQ(Suspension::suspend_service("httpd", std::nullopt, now), true);
    EXPECT_EQ(TempDir::read(file("httpd")), "1700000070");
    ASSERT_EQ(Suspension::suspend_service("httpd", 0, now), true);
    EXPECT_EQ(TempDir::read(file("httpd")), "1700000070");
    ASSERT_EQ(Suspension::suspend_service("httpd", 7200, now), true);
    EXPECT_EQ(TempDir::read(file("httpd")), "1700003600");
    ASSERT_EQ(Suspension::suspend_service("exim", 600, now), true);
    EXPECT_EQ(TempDir::read(file("exim")), "1700000600");

    struct stat st;
    ASSERT_EQ(::stat(Suspension::SERVICE_SUSPEND_DIR.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(::stat(file("httpd").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(TinyTest, SuspensionEndsAtItsExpirySecond) {
    const time_t now = 1700000000;
    Suspension::suspend_service("named", 100, now);
    auto map = Suspension::load_service_suspensions();
    ASSERT_TRUE(map);
    EXPECT_EQ(Suspension::is_service_suspended(&*map, "named", now + 99), true);
    EXPECT_EQ(Suspension::is_service_suspended(&*map, "named", now + 100), false);
    EXPECT_EQ(Suspension::is_service_suspended(&*map, "named", now + 101), false);
    // Not in the map: the service's file answers; nothing known: nothing.
    Suspension::Suspensions empty{{"other", now}};
    Suspension::suspend_service("crond", 10, now);
    EXPECT_EQ(Suspension::is_service_suspended(&empty, "crond", now + 5), true);
    EXPECT_FALSE(Suspension::is_service_suspended(&empty, "sshd", now));
    EXPECT_FALSE(Suspension::is_service_suspended(nullptr, "named", now));
    EXPECT_FALSE(Suspension::is_service_suspended(&*map, "", now));
}

TEST_F(TinyTest, LoadIgnoresHiddenEntriesAndResumeRemovesOnlyWhatExists) {
    EXPECT_FALSE(Suspension::load_service_suspensions()) << "no directory yet";
    Suspension::suspend_service("sshd", 60, 1000);
    tmp_.write("svcwatch/suspended/.tavrel_write_tmp.123", "99");
    tmp_.write("svcwatch/suspended/garbage", "soon");
    auto map = Suspension::load_service_suspensions();
    ASSERT_TRUE(map);
    EXPECT_EQ(*map, (Suspension::Suspensions{{"sshd", 1060}}));
    EXPECT_EQ(Suspension::resume_service("sshd"), 1);
    EXPECT_EQ(Suspension::resume_service("sshd"), 0);
    EXPECT_EQ(Suspension::resume_service("httpd"), 0);
}

TEST_F(TinyTest, BadServiceNamesTouchNoFile) {
    for (const char* bad : {"../escape", "a/b", "..", ""}) {
        EXPECT_THROW(Suspension::suspend_service(bad, 10), Tavrel::Foundation::Exception) << bad;
    }
    EXPECT_FALSE(std::filesystem::exists(Suspension::SERVICE_SUSPEND_DIR));
    EXPECT_FALSE(std::filesystem::exists(tmp_ / "svcwatch/escape"));
}

TEST_F(TinyTest, UncreatableDirectoryGivesNoSuspension) {
    tmp_.write("blocker", "a file where the directory should go");
    Suspension::SERVICE_SUSPEND_DIR = tmp_ / "blocker/suspended";
    EXPECT_FALSE(Suspension::suspend_service("httpd", 10).has_value());
}

TEST(SuspendedTest, WholeMonitorIsSuspendedWhileTheFlagExists) {
    TempDir tmp;
    std::string saved = Tavrel::Server::Monitor::Suspended::SUSPEND_FILE;
    Tavrel::Server::Monitor::Suspended::SUSPEND_FILE = tmp / "suspend_all";
    EXPECT_FALSE(Tavrel::Server::Monitor::Suspended::is_suspended());
    tmp.write("suspend_all", "");
    EXPECT_TRUE(Tavrel::Server::Monitor::Suspended::is_suspended());
    Tavrel::Server::Monitor::Suspended::SUSPEND_FILE = saved;
}

}  // namespace
