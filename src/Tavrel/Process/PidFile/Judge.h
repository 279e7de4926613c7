// Tavrel::Process::PidFile::Judge: whether the process a service's pid file names is
// that service's process. Every reader that acts on a pid file (the status
// check, the wait for a start, the stop, the graceful restart's signal) asks
// here, so a daemon killed with -9 whose pid another account's process took
// over is never reported as running nor signalled.
//
//   auto verdict = Judge::judge("/run/crond.pid", {.program = "^/usr/sbin/cron$",
//                                                  .owner = "root"});
//   if (verdict.confirmed()) use(verdict.pid()); else log(verdict.reason);
//
// A process is the service's when, in this order:
//   - the file is a regular file (never through a symbolic link), read
//     without blocking, and its first line is a pid above 1;
//   - that pid is neither this process nor one of its ancestors;
//   - the process runs and has not ended (a zombie has);
//   - it runs `program` when a program pattern is given (a process running
//     another program is refused outright; a known interpreter counts when
//     the script it runs matches, and otherwise is left to its owner, since
//     an interpreted daemon may show a title instead of its script); a
//     process whose executable cannot be read (another account's, to a run
//     without root) counts when its command line starts with the program or
//     the kernel's name of it is the file name of `binary`, and the file is
//     trusted (below); otherwise it is left to its owner;
//   - it is not younger than the file: a process started after the pid file
//     was last written has a reused pid;
//   - and it shows itself to be the service's: it runs `program` or `binary`,
//     or it belongs to `owner`. A root-owned owner counts only when the file
//     is trusted (owned by root or by this process's user, and writable by
//     neither its group nor others): whoever may write the file could name
//     any root process.
#pragma once

#include "Tavrel/Process/Proc/PID.h"

#include <sys/types.h>

#include <optional>
#include <string>

namespace Tavrel::Process::PidFile::Judge {

// A process that started more than this many seconds after its pid file was
// last written is not the one the file was written for.
inline double AGE_SLACK = 2;

struct Expectation {
    // A pattern the process's executable path must match ("" = any program).
    std::string program{};
    // The service's program: a process running it is the service's.
    std::string binary{};
    // The account the service runs as (a name or a uid).
    std::string owner{};
};

enum class Outcome {
    Confirmed,
    NoFile,        // no pid file, an empty one, or one that says 0
    Unreadable,    // not a regular file, a symbolic link, or a read error
    NoPid,         // the first line is not a pid above 1
    NotRunning,    // the process has ended
    Ancestor,      // this run or one of the programs that started it
    WrongProgram,  // it runs another program than `program`
    Reused,        // it started after the pid file was written
    Unconfirmed,   // neither its program nor its owner shows it is the service's
};

struct Verdict {
    Outcome outcome = Outcome::NoFile;
    // The process, held by its start time (so a later reuse is noticed);
    // set only when confirmed.
    std::optional<Proc::PID> process{};
    // The pid the file names, when it names one.
    std::optional<pid_t> named{};
    // Why it is not confirmed, as a sentence fit for a log or a terminal
    // (text from the file is made printable); "" when confirmed.
    std::string reason{};

    bool confirmed() const { return outcome == Outcome::Confirmed; }
    std::optional<pid_t> pid() const {
        return process ? std::optional<pid_t>(process->pid()) : std::nullopt;
    }
};

Verdict judge(const std::string& pidfile, const Expectation& expected);

}  // namespace Tavrel::Process::PidFile::Judge
