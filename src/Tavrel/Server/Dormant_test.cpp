#include "Tavrel/Server/Dormant.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/PlainError.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Tavrel::Server::Dormant;

class DormantTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = Dormant::DORMANT_SERVICES_DIR;
        Dormant::DORMANT_SERVICES_DIR = tmp_.path();
    }
    void TearDown() override { Dormant::DORMANT_SERVICES_DIR = saved_; }
    void enable(const std::string& service, const std::string& content = "") {
        tmp_.write(service + Dormant::ENABLE_SUFFIX, content);
    }

    Tavrel::TestSupport::TempDir tmp_;
    std::string saved_;
};

TEST_F(DormantTest, TableDelaysAndEnableFileValue) {
    EXPECT_EQ(Dormant("hubsrvd").go_dormant_in_n_minutes(), 2);
    EXPECT_EQ(Dormant("hubsrvd").idle_timeout(), 30);
    EXPECT_EQ(Dormant("dnsadmin").idle_timeout(), 5);
    EXPECT_EQ(Dormant("somethingelse").go_dormant_in_n_minutes(), 10);
    EXPECT_EQ(Dormant("somethingelse").idle_timeout(), 60);

    enable("hubsrvd", "6\n");
    EXPECT_EQ(Dormant("hubsrvd").go_dormant_in_n_minutes(), 5);
    for (const char* keeps : {"", "1\n", "\n", "junk"}) {
        enable("spamd", keeps);
        EXPECT_EQ(Dormant("spamd").go_dormant_in_n_minutes(), 15) << keeps;
    }
}

TEST_F(DormantTest, MinimumIdleTimeoutRaisesTheDelay) {
    testing::internal::CaptureStderr();
    Dormant d("hubsrvd", 900);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(d.go_dormant_in_n_minutes(), 15);
    EXPECT_NE(err.find("hubsrvd"), std::string::npos) << err;
    EXPECT_NE(err.find("from 2 to 15"), std::string::npos) << err;

    testing::internal::CaptureStderr();
    Dormant quiet("hubsrvd", 60);  // within the delay: nothing to say
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(quiet.go_dormant_in_n_minutes(), 2);
}

TEST_F(DormantTest, FastModeWinsOverEverything) {
    tmp_.write(Dormant::FAST_MODE_FILE, "");
    enable("hubsrvd", "30\n");
    testing::internal::CaptureStderr();
    Dormant d("hubsrvd", 3600);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(d.go_dormant_in_n_minutes(), 0.25);
    EXPECT_EQ(d.idle_timeout(), 5);
}

TEST_F(DormantTest, ShouldGoDormantOnlyWhenEnabledAndIdleLongEnough) {
    Dormant off("hubsrvd");
    EXPECT_FALSE(off.is_enabled());
    EXPECT_FALSE(off.should_go_dormant(::time(nullptr) + 100000).has_value());

    enable("hubsrvd");
    Dormant on("hubsrvd");
    EXPECT_TRUE(on.is_enabled());
    time_t last = on.get_last_connection();
    EXPECT_EQ(on.should_go_dormant(last + 119), false);
    EXPECT_EQ(on.should_go_dormant(last + 120), true);
    on.got_an_active_connection();
    EXPECT_GE(on.get_last_connection(), last);
}

TEST_F(DormantTest, BadInputIsRefused) {
    EXPECT_THROW(Dormant(""), Tavrel::Foundation::Exception);
    EXPECT_THROW(Dormant("../x"), Tavrel::Foundation::Exception);
    // An enable file that exists but cannot be read is fatal; root reads
    // anything, so the reader runs as nobody in a child.
    enable("spamd", "5");
    ::chmod((tmp_ / ("spamd" + Dormant::ENABLE_SUFFIX)).c_str(), 0);
    ::chmod(tmp_.path().c_str(), 0755);
    pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && ::setuid(65534) != 0)
            ::_exit(3);
        try {
            Dormant d("spamd");
            ::_exit(1);
        } catch (const Tavrel::Foundation::PlainError&) {
            ::_exit(0);
        } catch (...) {
            ::_exit(2);
        }
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
