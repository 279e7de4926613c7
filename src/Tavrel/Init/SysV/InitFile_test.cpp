#include "Tavrel/Init/SysV/InitFile.h"

#include "Tavrel/Init/SysV/Script.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace {

using Tavrel::TestSupport::TempDir;
using Tavrel::Init::SysV::getinitfile;
namespace Initd = Tavrel::Init::SysV::Script;

class InitFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = Initd::INIT_D_DIR;
        Initd::INIT_D_DIR = tmp_.path();
    }
    void TearDown() override { Initd::INIT_D_DIR = saved_; }
    std::string script(const std::string& name, mode_t mode = 0755) {
        std::string path = tmp_.write(name, "#!/bin/sh\nexit 0\n");
        ::chmod(path.c_str(), mode);
        return path;
    }
    void remove(const std::string& name) { std::filesystem::remove(tmp_ / name); }
    std::string saved_;
    TempDir tmp_;
};

TEST_F(InitFileTest, ExactThenPartialThenNumbered) {
    script("S20cron");
    script("crond");
    script("CRON");
    EXPECT_EQ(getinitfile("cron"), tmp_ / "CRON");
    remove("CRON");
    EXPECT_EQ(getinitfile("cron"), tmp_ / "crond");
    remove("crond");
    EXPECT_EQ(getinitfile("cron"), tmp_ / "S20cron");
    remove("S20cron");
    EXPECT_EQ(getinitfile("cron"), std::nullopt);
}

TEST_F(InitFileTest, SkipsWhatIsNotARunnableScript) {
    script("cron.rpmnew");
    script("cron.rpmsave");
    script(".cron");
    script("cron-notes", 0644);
    std::filesystem::create_directory(tmp_ / "cron");
    ::symlink((tmp_ / "nowhere").c_str(), (tmp_ / "cron2").c_str());
    EXPECT_EQ(getinitfile("cron"), std::nullopt);

    // A link to a runnable script is that script.
    std::string target = script("real-cron");
    std::filesystem::remove(tmp_ / "cron");
    ::symlink(target.c_str(), (tmp_ / "cron").c_str());
    EXPECT_EQ(getinitfile("cron"), tmp_ / "cron");
}

TEST_F(InitFileTest, NameIsLiteralAndSomeNamesNeverHaveAScript) {
    script("cron");
    EXPECT_EQ(getinitfile("c.on"), std::nullopt);
    EXPECT_EQ(getinitfile(""), std::nullopt);
    script("functions");
    EXPECT_EQ(getinitfile("functions"), std::nullopt);
    Initd::INIT_D_DIR = tmp_ / "missing";
    EXPECT_EQ(getinitfile("cron"), std::nullopt);
}

}  // namespace
