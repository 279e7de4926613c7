// Tavrel::Process::Kill::Target: one process chosen to be ended, held by a pidfd so
// that signals and probes reach that process and never a later process that
// reuses its pid. Where pidfds are unavailable the plain pid is used.
//
//   auto t = Tavrel::Process::Kill::Target::open(pid);   // PlainError for pid <= 1
//   if (t.send(SIGTERM) == 0) ...;
//   while (t.alive()) ...;
#pragma once

#include "Tavrel/Foundation/Fd/UniqueFd.h"

#include <sys/types.h>

namespace Tavrel::Process::Kill {

class Target {
  public:
    // Refuses pid 0, 1 and negative pids with a PlainError.
    static Target open(pid_t pid);

    pid_t pid() const { return pid_; }
    bool has_pidfd() const { return static_cast<bool>(fd_); }
    // 0 when the signal was sent, else the error number (ESRCH once the
    // process has gone).
    int send(int signal) const;
    // False once the process has ended (a zombie has ended).
    bool alive() const;
    // Reaps the process without blocking when it is the caller's child.
    void reap() const;

  private:
    Target(pid_t pid, Foundation::Fd::UniqueFd fd, bool gone)
        : pid_(pid), fd_(std::move(fd)), gone_(gone) {}
    pid_t pid_;
    Foundation::Fd::UniqueFd fd_;
    bool gone_;
};

}  // namespace Tavrel::Process::Kill
