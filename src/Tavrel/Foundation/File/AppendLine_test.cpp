#include "Tavrel/Foundation/File/AppendLine.h"

#include "testsupport/InChild.h"
#include "testsupport/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

namespace Tavrel::Foundation::File::AppendLine {
namespace {

using Tavrel::TestSupport::TempDir;

// Writers in parallel: every line arrives whole, none is lost or mixed.
TEST(AppendLine, ParallelWritersNeverMixOrLoseALine) {
    TempDir tmp;
    const std::string log = tmp / "logs/history";
    constexpr int WRITERS = 8, LINES = 200;
    std::vector<pid_t> children;
    for (int w = 0; w < WRITERS; ++w) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            const std::string line = "writer " + std::to_string(w) + " " + std::string(300 + w * 97, 'a' + w) + "\n";
            for (int i = 0; i < LINES; ++i)
                if (append_line(log, line))
                    ::_exit(1);
            ::_exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::istringstream text(TempDir::read(log));
    int count = 0;
    for (std::string line; std::getline(text, line); ++count) {
        const int w = line[7] - '0';
        ASSERT_EQ(line, "writer " + std::to_string(w) + " " + std::string(300 + w * 97, 'a' + w)) << count;
    }
    EXPECT_EQ(count, WRITERS * LINES);
    EXPECT_EQ(std::filesystem::status(log).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(std::filesystem::status(tmp / "logs").permissions(), std::filesystem::perms::owner_all);
}

// A file that has room for only part of the line keeps none of it, and says why.
TEST(AppendLine, ALineThatDoesNotFitIsLostWholeWithItsReason) {
    TempDir tmp;
    const std::string log = tmp / "history";
    tmp.write("history", "first\n");
    const std::string why = Tavrel::TestSupport::text_from_child([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit = {10, 10};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        return append_line(log, "a line of more than ten bytes\n").value_or("written");
    });
    EXPECT_THAT(why, testing::HasSubstr("only part of the line fitted"));
    EXPECT_EQ(TempDir::read(log), "first\n");

    tmp.write("link-target", "");
    std::filesystem::create_symlink(tmp / "link-target", tmp / "linked");
    EXPECT_TRUE(append_line(tmp / "linked", "x\n")) << "written through a symbolic link";
    EXPECT_EQ(TempDir::read(tmp / "link-target"), "");
    EXPECT_TRUE(append_line(tmp / "no/such/dir/history", "x\n"));
}

}  // namespace
}  // namespace Tavrel::Foundation::File::AppendLine
