#include "Tavrel/Run/Setsid.h"

#include "Tavrel/Foundation/Exception.h"
#include "testsupport/InChild.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>

using Tavrel::Run::Setsid::full_daemonize;

namespace {
// Runs `work` detached with keep_parent; the grandchild never returns here.
int daemonized_status(const std::function<void()>& work, pid_t* pid_out = nullptr) {
    int status = -1;
    pid_t pid = full_daemonize({.keep_parent = true, .wait_status = &status});
    if (pid == 0) {
        work();
        _exit(0);
    }
    if (pid_out)
        *pid_out = pid;
    return status;
}
}  // namespace

TEST(FullDaemonize, KeepParentPassesTheExitCodeOn) {
    int status = daemonized_status([] { _exit(3); });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    status = daemonized_status([] {});
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(FullDaemonize, WorkKilledBySignalIsNotSuccess) {
    for (int sig : {SIGKILL, SIGTERM, SIGUSR1}) {
        int status = daemonized_status([sig] {
            ::signal(sig, SIG_DFL);
            ::kill(::getpid(), sig);
            ::pause();
        });
        ASSERT_TRUE(WIFEXITED(status)) << sig;
        EXPECT_EQ(WEXITSTATUS(status), 128 + sig) << sig;
    }
}

TEST(FullDaemonize, WorkRunsInANewSessionWithoutTheCaller) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t middle = 0;
    int status = daemonized_status(
        [&] {
            close(fds[0]);
            pid_t info[3] = {getsid(0), getppid(), getpid()};
            (void)!write(fds[1], info, sizeof info);
        },
        &middle);
    close(fds[1]);
    pid_t info[3] = {0, 0, 0};
    ASSERT_EQ(read(fds[0], info, sizeof info), static_cast<ssize_t>(sizeof info));
    close(fds[0]);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(info[0], middle);  // the middle process leads the new session
    EXPECT_NE(info[0], getsid(0));
    EXPECT_EQ(info[1], middle);
    EXPECT_NE(info[2], getpid());
}

// A fork that fails leaves the caller's SIGCHLD handling as it was: a caller
// that ignores SIGCHLD (its children reap themselves) keeps doing so.
TEST(FullDaemonize, FailedForkRestoresTheCallersSigchld) {
    const int code = Tavrel::TestSupport::in_child([] {
        // No process more for this account: every fork fails (root is exempt).
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            return 3;
        struct rlimit none = {0, 0};
        if (::setrlimit(RLIMIT_NPROC, &none) != 0)
            return 3;
        ::signal(SIGCHLD, SIG_IGN);
        try {
            full_daemonize({.keep_parent = true});
            return 1;
        } catch (const Tavrel::Foundation::Exception& e) {
            if (!e.isa("Fork::Failed"))
                return 2;
        }
        struct sigaction now {};
        ::sigaction(SIGCHLD, nullptr, &now);
        return now.sa_handler == SIG_IGN ? 0 : 4;
    });
    EXPECT_EQ(code, 0);
}
