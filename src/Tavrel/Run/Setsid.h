// Tavrel::Run::Setsid: detaching work into a session of its own by double fork.
//
//   int status = 0;
//   pid_t pid = Tavrel::Run::Setsid::full_daemonize({.keep_parent = true,
//                                                    .wait_status = &status});
//   if (pid == 0) { /* the detached grandchild: exec the daemon, or _exit */ }
//   else          { /* the caller, after the work finished; status as waitpid gives it */ }
//
// The caller forks a child, which starts a new session and forks the
// grandchild that does the work and is returned 0.
//   - With keep_parent, the caller waits for the child and returns its pid; the
//     child waits for the grandchild and exits with its exit code, or with 128
//     plus the signal number when the grandchild was killed by a signal (so a
//     crashed job never reads as success). With wait false as well, the caller
//     gets the child's pid at once and must reap it itself (to bound the wait);
//     the child's pid is then also the id of the work's process group.
//   - The child has every signal at its default disposition, so a TERM sent
//     to the work's process group ends it too, whatever the caller handles.
//   - Without keep_parent, the caller and the child exit at once (status 0) and
//     only the grandchild returns.
// A failed fork throws "Fork::Failed", a failed setsid "System::CallFailed",
// both with the errno.
#pragma once

#include <sys/types.h>

namespace Tavrel::Run::Setsid {

inline constexpr long SETSID = 112;  // the x86-64 number; the build uses the target's own

struct Options {
    bool keep_parent = false;
    // With keep_parent: receives the child's wait status in the caller.
    int* wait_status = nullptr;
    // With keep_parent: false returns the child's pid without waiting for it.
    bool wait = true;
};

pid_t full_daemonize(const Options& options = {});

// The exit code a waiting process reports for a wait status: the exit code,
// or 128 plus the signal number for a death by signal.
int exit_code_for_status(int wait_status);

}  // namespace Tavrel::Run::Setsid
