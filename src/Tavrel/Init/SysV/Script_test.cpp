#include "Tavrel/Init/SysV/Script.h"

#include "Tavrel/Foundation/Exception.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

namespace I = Tavrel::Init::SysV::Script;

TEST(HasServiceViaInitdTest, OnlyAnExecutableRegularFileCounts) {
    Tavrel::TestSupport::TempDir tmp;
    const std::string saved = I::INIT_D_DIR;
    I::INIT_D_DIR = tmp.path();
    ::chmod(tmp.write("cron", "#!/bin/sh\n").c_str(), 0755);
    tmp.write("plain", "#!/bin/sh\n");
    ::mkdir((tmp / "dir").c_str(), 0755);
    ::symlink("cron", (tmp / "alias").c_str());

    EXPECT_TRUE(I::has_service_via_initd("cron"));
    EXPECT_TRUE(I::has_service_via_initd("alias"));
    EXPECT_FALSE(I::has_service_via_initd("plain"));
    EXPECT_FALSE(I::has_service_via_initd("dir"));
    EXPECT_FALSE(I::has_service_via_initd("missing"));
    EXPECT_FALSE(I::has_service_via_initd(""));
    for (const char* bad : {"..", "../cron", "a/b"}) {
        try {
            I::has_service_via_initd(bad);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const Tavrel::Foundation::Exception& e) {
            EXPECT_TRUE(e.isa("Name::Invalid")) << e.class_name();
        }
    }
    I::INIT_D_DIR = saved;
}

}  // namespace
