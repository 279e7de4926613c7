// Tavrel::Process::Proc::PID: a handle on one process that notices pid reuse.
//
//   Tavrel::Process::Proc::PID p("1234");           // Param::Invalid or Proc::Ended
//   if (p.is_running()) use(p.cmdline(), p.uid());
//
// The handle remembers the process's start time (from its stat file) when it
// is made. A pid that was later reused by another process has a different
// start time, so is_running() reports false for it; so does a zombie, which
// has ended. The change time of the procfs directory is kept as ctime() but
// does not decide identity: the kernel renews it whenever it rebuilds the
// directory's inode, which happens to live processes under memory pressure.
#pragma once

#include "Tavrel/Foundation/ProcFs.h"

#include <sys/types.h>

#include <ctime>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Process::Proc {

class PID {
  public:
    // The pid must be all digits and greater than 1.
    explicit PID(std::string_view pid);
    explicit PID(pid_t pid);

    pid_t pid() const { return pid_; }
    uid_t uid();        // throws Proc::Ended
    long long ctime();  // throws Proc::Ended
    unsigned long long starttime() const { return starttime_; }
    double elapsed_time();  // seconds since the process directory appeared
    // Seconds since the process started (from its start time, not the
    // directory's change time).
    double age() const;
    // Whether the process started more than `slack` seconds after the
    // wall-clock moment `when`. A pid file last written before its process
    // started was not written for that process: its pid has been reused.
    bool started_after(const struct timespec& when, double slack) const;
    // The boot clock now, in the unit and rounding of a start time: a process
    // forked at or after this moment has a start time of at least this value,
    // however close behind it came (a wall-clock comparison blurs the first
    // tick, and a daemon a socket starts again can come within it).
    static unsigned long long boot_ticks_now();
    bool started_at_or_after(unsigned long long boot_ticks) const { return starttime_ >= boot_ticks; }
    bool is_running() const;
    char state() const;                  // throws Proc::Ended
    std::vector<std::string> cmdline();  // throws Proc::Ended

  private:
    void init();
    std::string dir() const;
    [[noreturn]] void ended() const;

    pid_t pid_ = 0;
    unsigned long long starttime_ = 0;
    std::optional<long long> ctime_;
    std::optional<uid_t> uid_;
    std::optional<std::vector<std::string>> cmdline_;
};

}  // namespace Tavrel::Process::Proc
