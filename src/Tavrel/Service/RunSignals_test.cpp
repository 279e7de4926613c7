#include "Tavrel/Service/RunSignals.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

namespace {

// The status a child ends with when TERM or INT reaches it, before or after
// its work is over.
int status_of(bool over, int signo) {
    const pid_t child = ::fork();
    if (child == 0) {
        Tavrel::Service::RunSignals::install();
        if (over)
            Tavrel::Service::RunSignals::work_is_over();
        ::raise(signo);
        ::_exit(7);  // the status its result record would carry
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return status;
}

// A run ended by a signal writes no result record; once the record is on its
// way, a late signal must not give an exit status that contradicts it.
TEST(RunSignals, ASignalAfterTheWorkLeavesTheRunsOwnStatus) {
    for (int signo : {SIGTERM, SIGINT}) {
        const int before = status_of(false, signo);
        EXPECT_FALSE(WIFEXITED(before) && WEXITSTATUS(before) == 7) << signo;
        const int after = status_of(true, signo);
        ASSERT_TRUE(WIFEXITED(after)) << signo;
        EXPECT_EQ(WEXITSTATUS(after), 7) << signo;
    }
}

}  // namespace
