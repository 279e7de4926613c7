#include "Tavrel/Process/Proc/Basename.h"
#include "Tavrel/Process/Proc/Lineage.h"

#include <gtest/gtest.h>
#include <unistd.h>

using Tavrel::Process::Proc::Basename::getbasename;

TEST(Getbasename, ProgramNameOfAWord) {
    EXPECT_EQ(getbasename(""), "");
    EXPECT_EQ(getbasename("/usr/sbin/exim -bd"), "exim");
    EXPECT_EQ(getbasename("/usr/sbin/"), "");
    EXPECT_EQ(getbasename("exim"), "exim");
    EXPECT_EQ(getbasename("./bin/exim"), "./bin/exim");  // only absolute paths are cut
    EXPECT_EQ(getbasename("-bash"), "-bash");
}

TEST(Lineage, SelfThenAncestorsUpToTheFirstProcess) {
    auto pids = Tavrel::Process::Proc::Lineage::pids();
    ASSERT_GE(pids.size(), 2u);
    EXPECT_EQ(pids[0], ::getpid());
    EXPECT_EQ(pids[1], ::getppid());
    EXPECT_EQ(pids.back(), 1);
    pid_t child = ::fork();
    if (child == 0) {
        ::pause();
        ::_exit(0);
    }
    auto from_child = Tavrel::Process::Proc::Lineage::pids(child);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_GE(from_child.size(), 2u);
    EXPECT_EQ(from_child[0], child);
    EXPECT_EQ(from_child[1], ::getpid());
}
