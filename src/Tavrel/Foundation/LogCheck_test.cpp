#include "Tavrel/Foundation/LogCheck.h"

#include "testsupport/TempDir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

namespace Tavrel::Foundation {
namespace {

using TestSupport::TempDir;

class LogCheckTest : public ::testing::Test {
  protected:
    void SetUp() override { saved_ = LogCheck::LOG_DIR; }
    void TearDown() override { LogCheck::LOG_DIR = saved_; }
    TempDir dir;

  private:
    std::string saved_;
};

TEST_F(LogCheckTest, CreatesAMissingPrivateDirectory) {
    LogCheck::LOG_DIR = dir / "logs";
    const mode_t old = ::umask(0);
    errno = EAGAIN;
    const bool ok = LogCheck::logcheck();
    ::umask(old);
    EXPECT_TRUE(ok);
    EXPECT_EQ(errno, EAGAIN);
    struct stat st;
    ASSERT_EQ(::stat(LogCheck::LOG_DIR.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_TRUE(LogCheck::logcheck());  // already there
}

TEST_F(LogCheckTest, ReportsADirectoryItCannotMake) {
    LogCheck::LOG_DIR = dir.write("plainfile", "");
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(LogCheck::logcheck());
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(LogCheck::LOG_DIR), std::string::npos) << err;
    EXPECT_NE(err.find("test_Tavrel_Foundation: "), std::string::npos) << err;

    LogCheck::LOG_DIR = dir / "no/such/parent";
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(LogCheck::logcheck());
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("No such file"), std::string::npos);
}

TEST_F(LogCheckTest, Writability) {
    LogCheck::LOG_DIR = dir.path();
    EXPECT_TRUE(LogCheck::logcheck_writable());
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));  // the test file did not stay behind

    // A planted symbolic link in place of the test file is refused, not followed.
    const std::string victim = dir / "victim";
    const std::string test_file = dir / (".writable_check." + std::to_string(::getpid()));
    ASSERT_EQ(::symlink(victim.c_str(), test_file.c_str()), 0);
    EXPECT_FALSE(LogCheck::logcheck_writable());
    EXPECT_NE(::access(victim.c_str(), F_OK), 0);
    ::unlink(test_file.c_str());

    LogCheck::LOG_DIR = dir / "missing";
    EXPECT_FALSE(LogCheck::logcheck_writable());
}

}  // namespace
}  // namespace Tavrel::Foundation
