#include "Tavrel/Run/Timezones.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

namespace Tz = Tavrel::Run::Timezones;

namespace {
// A small zone directory and a local-time path inside a temporary directory.
class Timezones : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = {Tz::LOCALTIME_PATH, Tz::TIMEZONE_FILE, Tz::ZONEINFO_DIR, Tz::DEFAULT_ZONE};
        Tz::ZONEINFO_DIR = dir_ / "zoneinfo";
        Tz::LOCALTIME_PATH = dir_ / "etc/localtime";
        Tz::TIMEZONE_FILE = dir_ / "etc/timezone";
        dir_.write("zoneinfo/Europe/Berlin", "TZif-berlin");
        dir_.write("zoneinfo/Europe/Busingen", "TZif-berlin");  // a twin, sorted after Berlin
        dir_.write("zoneinfo/America/New_York", "TZif-new-york");
        dir_.write("zoneinfo/posix/Asia/Tokyo", "TZif-tokyo");
        dir_.write("zoneinfo/right/Asia/Kolkata", "TZif-kolkata");
        dir_.write("etc/.keep", "");
    }
    void TearDown() override {
        Tz::LOCALTIME_PATH = saved_[0];
        Tz::TIMEZONE_FILE = saved_[1];
        Tz::ZONEINFO_DIR = saved_[2];
        Tz::DEFAULT_ZONE = saved_[3];
    }
    void link_to(const std::string& target) {
        std::filesystem::create_symlink(target, Tz::LOCALTIME_PATH);
    }
    Tavrel::TestSupport::TempDir dir_;
    std::vector<std::string> saved_;
};
}  // namespace

TEST_F(Timezones, LinkTargetNamesTheZone) {
    link_to(Tz::ZONEINFO_DIR + "/America/New_York");
    EXPECT_EQ(Tz::calculate_TZ_env(), "America/New_York");
}

TEST_F(Timezones, RelativeAndPosixLinks) {
    link_to("../zoneinfo/posix/Asia/Tokyo");
    EXPECT_EQ(Tz::calculate_TZ_env(), "Asia/Tokyo");
}

// /etc/localtime -> /etc/alternatives/localtime -> ... -> the zone file.
TEST_F(Timezones, ChainOfLinksLeadsToTheZone) {
    dir_.write("etc/alternatives/.keep", "");
    std::filesystem::create_symlink(Tz::ZONEINFO_DIR + "/Europe/Berlin",
                                    dir_ / "etc/alternatives/tz2");
    std::filesystem::create_symlink("tz2", dir_ / "etc/alternatives/tz1");
    link_to("alternatives/tz1");
    EXPECT_EQ(Tz::calculate_TZ_env(), "Europe/Berlin");

    // A chain that ends in a copy outside the zone directory: by content.
    std::filesystem::remove(Tz::LOCALTIME_PATH);
    const std::string copy = dir_.write("etc/alternatives/copy", "TZif-new-york");
    link_to(copy);
    EXPECT_EQ(Tz::calculate_TZ_env(), "America/New_York");

    // A loop ends the walk.
    std::filesystem::remove(Tz::LOCALTIME_PATH);
    link_to("localtime");
    EXPECT_EQ(Tz::calculate_TZ_env(), "UTC");
}

TEST_F(Timezones, CopiedFileFoundByTimezoneFileOrContent) {
    dir_.write("etc/localtime", "TZif-berlin");
    dir_.write("etc/timezone", "Europe/Busingen\n");
    EXPECT_EQ(Tz::calculate_TZ_env(), "Europe/Busingen");  // the recorded name, content agrees
    dir_.write("etc/timezone", "America/New_York\n");      // stale record: content decides
    EXPECT_EQ(Tz::calculate_TZ_env(), "Europe/Berlin");
    dir_.write("etc/localtime", "TZif-tokyo");
    EXPECT_EQ(Tz::calculate_TZ_env(), "Asia/Tokyo");
}

TEST_F(Timezones, DefaultWhenNothingMatches) {
    EXPECT_EQ(Tz::calculate_TZ_env(), "UTC");     // no local-time file
    dir_.write("etc/localtime", "TZif-kolkata");  // only a leap-second variant has it
    EXPECT_EQ(Tz::calculate_TZ_env(), "UTC");
    std::filesystem::remove(Tz::LOCALTIME_PATH);
    link_to("/somewhere/else/Zone");
    EXPECT_EQ(Tz::calculate_TZ_env(), "UTC");
}

TEST(TimezonesReal, ThisMachine) {
    // The real system: whatever it says must name an existing zone file.
    std::string zone = Tz::calculate_TZ_env();
    EXPECT_FALSE(zone.empty());
    if (zone != Tz::DEFAULT_ZONE) {
        EXPECT_TRUE(std::filesystem::exists(Tz::ZONEINFO_DIR + "/" + zone)) << zone;
    }
}
