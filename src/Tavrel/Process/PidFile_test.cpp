#include "Tavrel/Process/PidFile.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace Tiny = Tavrel::Process::PidFile;
using Tavrel::TestSupport::TempDir;

TEST(PidFileText, OnlyAPidGreaterThanOneIsTrusted) {
    EXPECT_EQ(Tiny::pid_from_text("1234\n"), 1234);
    EXPECT_EQ(Tiny::pid_from_text("  1234 \r\nsecond line\n"), 1234);
    EXPECT_EQ(Tiny::pid_from_text("2"), 2);
    for (const char* bad : {"", "\n", "0\n", "1\n", "-5\n", "+7\n", "12abc\n", "12 34\n",
                            "\n1234\n", "0x10\n", "99999999999\n"})
        EXPECT_EQ(Tiny::pid_from_text(bad), std::nullopt) << bad;
}

TEST(PidFileText, StatusChecksReadTheLeadingDigits) {
    EXPECT_EQ(Tiny::leading_pid_from_text("123abc"), 123);
    EXPECT_EQ(Tiny::leading_pid_from_text("4242\n99\n"), 4242);
    EXPECT_EQ(Tiny::leading_pid_from_text("  77\n"), 77);
    for (const char* bad : {"", "\n", "abc", "0", "1", "-5", "\n42", "99999999999"})
        EXPECT_EQ(Tiny::leading_pid_from_text(bad), std::nullopt) << '"' << bad << '"';
}

TEST(PidFileRunning, RunningProcessOnly) {
    TempDir dir;
    EXPECT_EQ(Tiny::is_pidfile_running(dir.write("self.pid", std::to_string(::getpid()) + "\n")),
              ::getpid());
    // pid 1 runs, but a pid file never names it.
    EXPECT_EQ(Tiny::is_pidfile_running(dir.write("init.pid", "1\n")), std::nullopt);
    EXPECT_EQ(Tiny::is_pidfile_running(dir / "missing.pid"), std::nullopt);
    EXPECT_EQ(Tiny::is_pidfile_running(dir.path()), std::nullopt);

    // A FIFO at the path answers at once instead of blocking.
    const std::string fifo = dir / "fifo.pid";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(Tiny::is_pidfile_running(fifo), std::nullopt);

    // A zombie has ended; so has a reaped process.
    pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    const std::string pidfile = dir.write("child.pid", std::to_string(child));
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
    EXPECT_EQ(Tiny::is_pidfile_running(pidfile), std::nullopt);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(Tiny::is_pidfile_running(pidfile), std::nullopt);
}
