#include "Tavrel/Process/Fuser.h"

#include "Tavrel/Foundation/ProcFs.h"
#include "testsupport/TestChild.h"
#include "testsupport/TempDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>

using namespace Tavrel;

TEST(Fuser, FindsTheHoldersOfAFile) {
    TestSupport::TempDir dir;
    std::string held = dir.write("held.lock", "");
    std::string free_file = dir.write("free.lock", "");
    int fd = ::open(held.c_str(), O_RDONLY);  // inherited by the child
    ASSERT_GE(fd, 0);
    auto c = TestSupport::TestChild::spawn("/bin/sleep", {TestSupport::TestChild::unique_name("tvfuser"), "30"});
    auto holders = Tavrel::Process::Fuser::check({held, free_file});
    ASSERT_EQ(holders.count(held), 1u);
    EXPECT_EQ(holders.count(free_file), 0u);
    auto& pids = holders[held];
    EXPECT_NE(std::find(pids.begin(), pids.end(), ::getpid()), pids.end());
    EXPECT_NE(std::find(pids.begin(), pids.end(), c.pid()), pids.end());
    EXPECT_EQ(Tavrel::Process::Fuser::proc_has_open_files(c.pid(), {free_file, held, held}),
              std::vector<std::string>{held});
    ::close(fd);
    c.stop();
    EXPECT_TRUE(Tavrel::Process::Fuser::proc_has_open_files(c.pid(), {held}).empty());
}

TEST(Fuser, RunningProcessesListsPids) {
    auto pids = Tavrel::Process::Fuser::running_processes();
    EXPECT_NE(std::find(pids.begin(), pids.end(), ::getpid()), pids.end());
    std::string saved = Tavrel::Foundation::ProcFs::PROC_PATH;
    Tavrel::Foundation::ProcFs::PROC_PATH = "/nonexistent-proc";
    EXPECT_TRUE(Tavrel::Process::Fuser::running_processes().empty());
    Tavrel::Foundation::ProcFs::PROC_PATH = saved;
}
