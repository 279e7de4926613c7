#include "Tavrel/Run/Setsid.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Run/CloseFDs.h"
#include "Tavrel/Run/SafeRun/Child.h"
#include "Tavrel/Run/SafeRun/SignalGuard.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

namespace Tavrel::Run::Setsid {

namespace {

pid_t checked_fork() {
    std::fflush(nullptr);  // buffered output must not be written twice
    pid_t pid = ::fork();
    if (pid < 0) {
        int err = errno;
        throw Foundation::Exception::create("Fork::Failed", {{"error", err}});
    }
    return pid;
}

// waitpid that retries on interruption; returns the status, or -1 with errno.
int wait_for(pid_t pid, int& status) {
    pid_t got;
    do {
        got = ::waitpid(pid, &status, 0);
    } while (got < 0 && errno == EINTR);
    return got < 0 ? -1 : 0;
}

// The middle process of a caller that waits for it belongs to the caller's
// run: it ends when the caller ends, and holds none of its descriptors. A run
// killed outright must leave nothing that keeps its locks, or keeps the pipe
// its own caller reads open (a script's "$(...)" would hang until the work
// ends); the work goes on in its own session.
void belong_to_the_caller(pid_t caller) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != caller)
        ::_exit(1);
    CloseFDs::fast_closefds();
    const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd < 0)
        return;
    for (int fd = 0; fd <= 2; ++fd)
        ::dup2(null_fd, fd);
    if (null_fd > 2)
        ::close(null_fd);
}

// The middle process: waits for the work and passes its outcome on as an exit code.
[[noreturn]] void finish_middle(pid_t worker, bool keep_parent, pid_t caller) {
    if (!keep_parent)
        ::_exit(0);
    belong_to_the_caller(caller);
    int status = 0;
    if (wait_for(worker, status) != 0)
        ::_exit(127);
    ::_exit(exit_code_for_status(status));
}

}  // namespace

int exit_code_for_status(int wait_status) {
    if (WIFEXITED(wait_status))
        return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status))
        return 128 + WTERMSIG(wait_status);
    return 127;
}

pid_t full_daemonize(const Options& options) {
    // A caller that ignores SIGCHLD would have its children reaped behind its
    // back, and the waits below would fail; waiting needs the default. The
    // caller's own handling is back when this returns or throws (a failed
    // fork included), in the caller and in the worker alike.
    SafeRun::SignalGuard waitable(SIGCHLD, SIG_DFL);

    const pid_t caller = ::getpid();
    pid_t child = checked_fork();
    if (child > 0) {
        if (!options.keep_parent)
            ::_exit(0);
        if (!options.wait)
            return child;
        int status = 0;
        int rc = wait_for(child, status);
        int err = errno;
        if (rc != 0)
            throw Foundation::Exception::create("System::CallFailed", {{"name", "waitpid"}, {"error", err}});
        if (options.wait_status)
            *options.wait_status = status;
        return child;
    }

    // The middle process must never return into the caller's code, nor keep
    // the caller's signal handlers: a TERM to its group must end it.
    SafeRun::reset_child_signals();
    try {
        if (::syscall(SYS_setsid) == -1) {
            int err = errno;
            throw Foundation::Exception::create("System::CallFailed", {{"name", "setsid"}, {"error", err}});
        }
        pid_t worker = checked_fork();
        if (worker > 0)
            finish_middle(worker, options.keep_parent, caller);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "full_daemonize: %s\n", e.what());
        ::_exit(1);
    }
    return 0;
}

}  // namespace Tavrel::Run::Setsid
