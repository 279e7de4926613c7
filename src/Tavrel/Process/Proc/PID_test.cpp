#include "Tavrel/Process/Proc/PID.h"

#include "Tavrel/Foundation/Exception.h"
#include "testsupport/TestChild.h"

#include <gtest/gtest.h>

using namespace Tavrel;

namespace {

void expect_type(const std::function<void()>& f, const std::string& type) {
    try {
        f();
        ADD_FAILURE() << "no exception, expected " << type;
    } catch (const Tavrel::Foundation::Exception& e) {
        EXPECT_TRUE(e.isa(type)) << e.class_name();
    }
}

}  // namespace

TEST(ProcPID, HandleOnALiveProcess) {
    std::string name = TestSupport::TestChild::unique_name("tvpid");
    auto c = TestSupport::TestChild::spawn("/bin/sleep", {name, "30"});
    Tavrel::Process::Proc::PID p(std::to_string(c.pid()));
    EXPECT_EQ(p.pid(), c.pid());
    EXPECT_EQ(p.uid(), ::geteuid());
    EXPECT_TRUE(p.is_running());
    // Asleep, or still on its way there on a busy machine.
    EXPECT_NE(std::string("SR").find(p.state()), std::string::npos) << p.state();
    EXPECT_GT(p.ctime(), 0);
    EXPECT_LT(p.elapsed_time(), 30);
    EXPECT_EQ(p.cmdline(), (std::vector<std::string>{name, "30"}));
    c.stop();
    EXPECT_FALSE(p.is_running());
    EXPECT_EQ(p.cmdline().size(), 2u);  // cached
    expect_type([&] { p.state(); }, "Proc::Ended");
}

// What tells a pid file of a dead service from one whose pid was reused: a
// process just started is younger than a moment an hour ago, not than now.
TEST(ProcPID, StartedAfterComparesTheStartWithAWallClockMoment) {
    auto c = TestSupport::TestChild::spawn("/bin/sleep", {"30"});
    Tavrel::Process::Proc::PID p(c.pid());
    EXPECT_GE(p.age(), 0);
    EXPECT_LT(p.age(), 30);
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct timespec hour_ago = now;
    hour_ago.tv_sec -= 3600;
    EXPECT_TRUE(p.started_after(hour_ago, 2));
    EXPECT_FALSE(p.started_after(now, 2));
    // The init process of this machine started long before the child.
    Tavrel::Process::Proc::PID early(::getppid() > 1 ? ::getppid() : c.pid());
    EXPECT_FALSE(early.started_after(now, 2));
    c.stop();
}

// What tells the daemon a socket starts again during a restart's stop from
// the one the stop left: a child forked right after the moment counts as
// started at or after it, however close behind; this process does not.
TEST(ProcPID, AProcessForkedRightAfterAMomentStartedAtOrAfterIt) {
    const unsigned long long moment = Tavrel::Process::Proc::PID::boot_ticks_now();
    auto c = TestSupport::TestChild::spawn("/bin/sleep", {"30"});
    EXPECT_TRUE(Tavrel::Process::Proc::PID(c.pid()).started_at_or_after(moment));
    Tavrel::Process::Proc::PID self(::getpid());
    EXPECT_FALSE(self.started_at_or_after(Tavrel::Process::Proc::PID::boot_ticks_now() + 1));
    c.stop();
}

TEST(ProcPID, ZombieIsNotRunning) {
    pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    Tavrel::Process::Proc::PID p(pid);
    for (int i = 0; i < 200 && p.state() != 'Z'; ++i)
        ::usleep(2000);
    EXPECT_EQ(p.state(), 'Z');
    EXPECT_FALSE(p.is_running());
    ::waitpid(pid, nullptr, 0);
}

TEST(ProcPID, IdentityDoesNotDependOnTheDirectoryChangeTime) {
    // The kernel rebuilds a process directory's inode (renewing its change
    // time) when its cache is dropped; the handle must not lose the process.
    auto c = TestSupport::TestChild::spawn("/bin/sleep", {TestSupport::TestChild::unique_name("tvctime"), "30"});
    Tavrel::Process::Proc::PID p(c.pid());
    FILE* f = std::fopen("/proc/sys/vm/drop_caches", "w");
    if (!f)
        GTEST_SKIP() << "cannot drop caches here";
    ::sleep(1);
    std::fputs("2\n", f);
    std::fclose(f);
    EXPECT_TRUE(p.is_running());
}

TEST(ProcPID, RefusesBadPidsAndMissingProcesses) {
    for (const char* bad : {"", "0", "1", "12a", "-3", " 12", "99999999999"})
        expect_type([&] { Tavrel::Process::Proc::PID p{std::string_view(bad)}; }, "Param::Invalid");
    pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    expect_type([&] { Tavrel::Process::Proc::PID p(pid); }, "Proc::Ended");
}
