// Tavrel::Run::SafeRun::Child: a child process this process started and must reap.
// The owner waits for it with a time bound or stops it (TERM, a grace period,
// then KILL); a Child dropped while its process still runs (an exception, a
// time-out) stops and reaps it, so no zombie is ever left behind.
//
//   Tavrel::Run::SafeRun::Child child;
//   int err = Tavrel::Run::SafeRun::spawn_child(child, "/bin/true", argv, envp, {in, out, err});
//   if (auto status = child.wait(5.0)) ...;     // nothing: still running after 5 s
//   else status = child.stop(1.0);               // TERM, 1 s, KILL; the wait status
#pragma once

#include <sys/types.h>

#include <optional>

namespace Tavrel::Run::SafeRun {

// The status recorded for a child whose status could not be had (it was
// reaped elsewhere, ECHILD): -1, which no caller mistakes for success, as for
// a program that could not be started.
inline constexpr int LOST_STATUS = -1;

class Child final {
  public:
    Child() = default;
    explicit Child(pid_t pid) { adopt(pid); }
    ~Child();
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) = delete;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void adopt(pid_t pid);
    pid_t pid() const { return pid_; }
    bool reaped() const { return status_.has_value() || pid_ <= 0; }
    // The wait status once reaped.
    std::optional<int> status() const { return status_; }

    // Waits at most `seconds` (negative: without limit) for the child to end
    // and reaps it; nothing when it is still running; LOST_STATUS when it
    // was reaped by someone else. errno is unchanged.
    std::optional<int> wait(double seconds);
    // Sends SIGTERM, waits up to `grace` seconds, then SIGKILL; returns the
    // wait status once the child has been reaped.
    int stop(double grace);

  private:
    std::optional<int> try_reap();
    pid_t pid_ = -1;
    int pidfd_ = -1;
    std::optional<int> status_;
};

struct StdFds {
    int in, out, err;
};

// Starts `program` with posix_spawn: `fds` become 0, 1, 2, every other
// descriptor is closed, every signal has its default disposition and none is
// blocked. Returns 0 and fills `child`, or the errno of the failed start (the
// program could not be executed; no child is left).
int spawn_child(Child& child, const char* program, char* const argv[], char* const envp[],
                StdFds fds);

// For a forked child (async-signal-safe): every signal back to its default
// disposition, and an empty signal mask.
void reset_child_signals();
// For a forked child (async-signal-safe): marks every descriptor from `first`
// up close-on-exec, so only the standard ones survive the exec.
void mark_descriptors_close_on_exec(int first);

}  // namespace Tavrel::Run::SafeRun
