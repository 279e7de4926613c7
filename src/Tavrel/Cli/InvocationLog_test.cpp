#include "Tavrel/Cli/InvocationLog.h"

#include "testsupport/FakeProc.h"
#include "testsupport/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace Tavrel::Cli::InvocationLog {
namespace {

using Tavrel::TestSupport::TempDir;

TEST(InvocationLog, RecordIsOneLineWhateverTheArguments) {
    std::string line = format_record("2026-12-08 14:19:59 +0100", "/sbin/zidavoveva_crond",
                                     {"--stop", "a\nb\\c"}, 42, std::string("-bash\0x\ty\n", 11));
    EXPECT_EQ(line,
              "[2026-12-08 14:19:59 +0100] /sbin/zidavoveva_crond --stop a\\x0ab\\x5cc; "
              "ppid 42: -bash x y\n");
    EXPECT_EQ(clean_command_line(std::string("  \x01perl\0\0-e\0 1 \xff", 16)), "perl -e 1");
}

TEST(InvocationLog, CreatesPrivateLogAndAppends) {
    TempDir dir;
    auto saved = LOG_FILE;
    LOG_FILE = dir / "sub/invocation_log";
    ::umask(0);
    EXPECT_TRUE(record("/x/zidavoveva_sshd", {"--status"}, ::getppid()));
    EXPECT_TRUE(record("/x/stopsshd", {}, ::getppid()));
    ::umask(022);
    struct stat st {};
    ASSERT_EQ(::stat(LOG_FILE.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    std::string text = TempDir::read(LOG_FILE);
    EXPECT_THAT(text, testing::MatchesRegex(
                          "\\[[^]]+\\] /x/zidavoveva_sshd --status; ppid [0-9]+: [^\n]+\n"
                          "\\[[^]]+\\] /x/stopsshd; ppid [0-9]+: [^\n]+\n"));
    LOG_FILE = saved;
}

TEST(InvocationLog, NeverWritesThroughASymbolicLink) {
    TempDir dir;
    auto saved = LOG_FILE;
    std::string target = dir.write("target", "");
    LOG_FILE = dir / "link";
    ASSERT_EQ(::symlink(target.c_str(), LOG_FILE.c_str()), 0);
    EXPECT_FALSE(record("/x/zidavoveva_sshd", {}, 1));
    EXPECT_EQ(TempDir::read(target), "");
    LOG_FILE = saved;
}

TEST(InvocationLog, UnreadableParentGetsPlaceholder) {
    {
        Tavrel::TestSupport::FakeProc empty;
        EXPECT_EQ(parent_command_line(1), UNKNOWN_PARENT);
    }
    EXPECT_NE(parent_command_line(::getpid()), UNKNOWN_PARENT);
}

}  // namespace
}  // namespace Tavrel::Cli::InvocationLog
