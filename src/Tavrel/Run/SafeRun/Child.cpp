#include "Tavrel/Run/SafeRun/Child.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/close_range.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <thread>
#include <utility>

namespace Tavrel::Run::SafeRun {

namespace {

int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

// Every signal an ordinary process may set (not KILL/STOP, nor the ones the
// C library keeps for itself).
sigset_t all_settable_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s = 1; s < NSIG; ++s) {
        if (s == SIGKILL || s == SIGSTOP)
            continue;
        if (s > SIGSYS && s < SIGRTMIN)
            continue;
        sigaddset(&set, s);
    }
    return set;
}

}  // namespace

Child::~Child() {
    if (!reaped())
        stop(1.0);
    if (pidfd_ >= 0)
        ::close(pidfd_);
}

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      pidfd_(std::exchange(other.pidfd_, -1)),
      status_(std::exchange(other.status_, std::nullopt)) {}

void Child::adopt(pid_t pid) {
    pid_ = pid;
    status_.reset();
}

std::optional<int> Child::try_reap() {
    if (status_ || pid_ <= 0)
        return status_;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid_, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == pid_) {
        status_ = status;
    } else if (r < 0) {
        // Not our child any more (someone else reaped it): nothing to wait
        // for, and its status is lost. That is never a success.
        status_ = LOST_STATUS;
    }
    return status_;
}

std::optional<int> Child::wait(double seconds) {
    if (reaped())
        return status_;
    const int saved_errno = errno;
    if (seconds < 0) {
        int status = 0;
        pid_t r;
        do {
            r = ::waitpid(pid_, &status, 0);
        } while (r < 0 && errno == EINTR);
        status_ = r == pid_ ? status : LOST_STATUS;
        errno = saved_errno;
        return status_;
    }
    if (try_reap()) {
        errno = saved_errno;
        return status_;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    if (pidfd_ < 0)
        pidfd_ = open_pidfd(pid_);
    while (!try_reap()) {
        const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        if (pidfd_ >= 0) {
            pollfd p{pidfd_, POLLIN, 0};
            const int ms = static_cast<int>(std::min(std::ceil(left * 1000), 2.0e9));
            if (::poll(&p, 1, ms) < 0 && errno != EINTR)
                break;
        } else {
            std::this_thread::sleep_for(std::chrono::duration<double>(std::min(left, 0.005)));
        }
    }
    errno = saved_errno;
    return status_;
}

int Child::stop(double grace) {
    if (reaped())
        return status_.value_or(0);
    const int saved_errno = errno;
    ::kill(pid_, SIGTERM);
    errno = saved_errno;
    if (auto status = wait(grace))
        return *status;
    ::kill(pid_, SIGKILL);
    errno = saved_errno;
    return wait(-1).value_or(LOST_STATUS);
}

int spawn_child(Child& child, const char* program, char* const argv[], char* const envp[],
                StdFds fds) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&actions, fds.in, 0);
    posix_spawn_file_actions_adddup2(&actions, fds.out, 1);
    posix_spawn_file_actions_adddup2(&actions, fds.err, 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t none;
    sigemptyset(&none);
    static const sigset_t every = all_settable_signals();
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &every);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, program, &actions, &attr, argv, envp);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc == 0)
        child.adopt(pid);
    return rc;
}

void reset_child_signals() {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int s = 1; s < NSIG; ++s) {
        if (s == SIGKILL || s == SIGSTOP)
            continue;
        ::sigaction(s, &dfl, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

void mark_descriptors_close_on_exec(int first) {
    if (::syscall(SYS_close_range, static_cast<unsigned>(first), ~0U, CLOSE_RANGE_CLOEXEC) == 0) {
        return;
    }
    // Older kernels: mark them one by one up to the descriptor limit.
    struct rlimit lim {};
    long max = 1024;
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY) {
        max = static_cast<long>(lim.rlim_cur);
    }
    for (long fd = first; fd < max; ++fd)
        ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
}

}  // namespace Tavrel::Run::SafeRun
