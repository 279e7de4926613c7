#include "Tavrel/Run/Setsid.h"

#include "Tavrel/Foundation/Exception.h"
#include "testsupport/InChild.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

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

// The process between the caller and its work holds nothing of the caller's
// (its locks and output pipes end with the caller), and ends when the caller
// is killed outright; the work runs on.
TEST(FullDaemonize, TheMiddleProcessEndsWithItsCallerAndHoldsNothingOfIt) {
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t caller = ::fork();
    ASSERT_GE(caller, 0);
    if (caller == 0) {
        ::close(report[0]);
        const pid_t middle = full_daemonize({.keep_parent = true, .wait = false});
        if (middle == 0) {
            ::close(report[1]);
            ::sleep(3);
            _exit(0);
        }
        const pid_t pids[2] = {middle, 0};
        (void)!::write(report[1], pids, sizeof pids);
        ::usleep(200000);
        // The middle holds no descriptor above standard error: not this pipe.
        const std::string fds = "/proc/" + std::to_string(middle) + "/fd";
        int above = 0;
        for (int fd = 3; fd < 64; ++fd)
            above += ::access((fds + "/" + std::to_string(fd)).c_str(), F_OK) == 0;
        const pid_t verdict[2] = {middle, above};
        (void)!::write(report[1], verdict, sizeof verdict);
        ::kill(::getpid(), SIGKILL);
    }
    ::close(report[1]);
    pid_t first[2] = {0, 0}, second[2] = {0, -1};
    ASSERT_EQ(::read(report[0], first, sizeof first), static_cast<ssize_t>(sizeof first));
    ASSERT_EQ(::read(report[0], second, sizeof second), static_cast<ssize_t>(sizeof second));
    ::close(report[0]);
    ::waitpid(caller, nullptr, 0);
    EXPECT_EQ(second[1], 0) << "descriptors above 2 in the middle process";
    // Ended: gone, or a zombie that whoever adopted it has not reaped yet.
    auto ended = [](pid_t pid) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const auto paren = text.rfind(')');
        return text.empty() || (paren != std::string::npos && paren + 2 < text.size() &&
                                (text[paren + 2] == 'Z' || text[paren + 2] == 'X'));
    };
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        gone = ended(first[0]);
        if (!gone)
            ::usleep(10000);
    }
    EXPECT_TRUE(gone) << "the middle process outlived its killed caller";
}
