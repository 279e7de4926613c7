// Tavrel::Init::SysV startup launcher: starts a service's program (its daemon
// or its init script) so that everything it prints while starting lands in
// the service's startup log (Tavrel/Init/SysV/StartupLog.h), which is shown
// to the user when a start fails.
//
//   // Run the init script, wait for it, its output replacing the last start's:
//   if (auto pid = logged_startup("cron", true, {"/etc/init.d/cron", "start"}, {.wait = true})) {
//       int code = Tavrel::Run::SafeRun::last_child_status() >> 8;
//   } else { /* not an executable file: nothing ran, last child status 512 */ }
//
//   // Launch a daemon that stays in the foreground; get its pid back:
//   auto pid = logged_startup("hubdavd", true, {"/usr/local/tavrel/bin/hubdavd"});
//
// Launched programs get the null device as standard input, the log as
// standard output and error, default signal dispositions and an empty signal
// mask, and no other descriptor of this process (so never the run lock). They
// are executed directly with their argument vector, never through a shell.
//
// Last child status: a capture-and-wait launch leaves the command's exit
// code shifted left by 8 bits; a command killed by a signal reports 128 plus
// the signal number, so a crash never reads as success.
//
// A capture-and-wait launch is bounded: an init script whose action never
// returns would otherwise hold the run, and the service's run lock, for
// ever. At the bound the command's whole process group (the session it was
// started in: the script and whatever it started that did not detach) gets
// SIGTERM, SIGKILL COMMAND_KILL_GRACE seconds later, and the launch throws
// Services::CommandTimedOut ("service", "program", "action", "timeout").
#pragma once

#include "Tavrel/Foundation/Fd/UniqueFd.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Init::SysV {

inline std::string NULL_DEVICE = "/dev/null";
// Where a file that stands in for a startup log that cannot be written is
// made (an unnamed one, in the first directory that takes it): on disk
// first, since a daemon may write to it as long as it would to its log.
inline std::vector<std::string> STAND_IN_DIRS = {"/var/tmp", "/tmp", "/run"};
// Seconds a command waited for may run when its caller names no bound (the
// figure systemd gives a unit's start and stop).
inline double DEFAULT_COMMAND_TIMEOUT = 90;
// Seconds between the TERM and the KILL of a command that ran out its time.
inline double COMMAND_KILL_GRACE = 5;
// Seconds to wait for the processes of an ended command to go after KILL,
// and how often to look.
inline double COMMAND_GONE_WAIT = 1;
inline double COMMAND_GONE_POLL = 0.02;

struct LoggedStartupOptions {
    // Wait for the command (in a new session) instead of leaving it running.
    bool wait = false;
    // With wait: the most seconds the command may run.
    double timeout = DEFAULT_COMMAND_TIMEOUT;
    // The run was started by init (RunOptions::started_by_init).
    bool started_by_init = false;
};

// Launches `command` (program path, then arguments) with its output in the
// startup log of `service`, truncated first when `wipe`. When the log cannot
// be opened for writing (a read-only log directory), the output goes to a
// stand-in of this run (Tavrel::Init::Log::keep_startup_log_stand_in) that the
// startup log shown after the run is read from, with a line saying that the
// log could not be written; the null device only when even that fails. Returns the daemon's
// pid (detached) or the finished intermediate process's pid (with `wait`);
// nothing when the program is not an executable file (with `wait`; the
// detached style throws Io::CommandOpenFailed instead). A command waited for
// that outlives options.timeout is ended as described above and
// Services::CommandTimedOut is thrown. When the run was started by init
// (options.started_by_init) and systemd has a usable unit of that name, the
// command replaces this process and the call does not return. errno is
// kept.
std::optional<pid_t> logged_startup(std::string_view service, bool wipe,
                                     const std::vector<std::string>& command,
                                     const LoggedStartupOptions& options = {});

// The detached launch: the daemon's pid. Throws Io::CommandOpenFailed
// ("program", "error") when the program could not be executed.
pid_t _start_as_daemon(const std::string& program, int log_fd,
                       const std::vector<std::string>& args);

// The capture-and-wait launch (see logged_startup). A program that exists but
// fails to execute writes one line about it into the log and reports its
// errno as the exit code. A command still running after `timeout` seconds is
// ended with its process group; then Child::TimedOut ("program", "timeout").
std::optional<pid_t> _start_capture_and_wait(const std::string& program, int log_fd,
                                             const std::vector<std::string>& args,
                                             double timeout = DEFAULT_COMMAND_TIMEOUT);

enum class StartupLogMode { Write, Append };

// Opens the service's startup log: created 0600 (an existing log is brought
// back to 0600), never through a symbolic link, and only when it is a regular
// file. Throws Name::Invalid for a bad name, Io::OpenFailed ("path", "mode",
// "error") when the log cannot be opened.
Foundation::Fd::UniqueFd _open_startup_log(std::string_view service, StartupLogMode mode);

// Appends `message` as given (no line end added); an empty message touches
// nothing. Throws Name::Invalid, Io::OpenFailed, or a PlainError when the
// write fails. Returns true.
bool append_to_startup_log(std::string_view service, std::string_view message);

// What this run wrote to the service's startup log, as the log retrieval
// finds it (for a service that systemd runs, its unit's journal since the
// run began); nothing when there is none. Throws Name::Invalid for a bad name.
std::optional<std::string> fetch_startup_log(std::string_view service);

// Creates `directory` (and missing parents) with mode 0700 when it is not a
// directory; a failure is a logged warning, never an exception.
void _mkdir_or_log_failure(const std::string& directory);

// Runs a command with every output discarded and waits for it. Trailing
// empty words are dropped and every word is split at spaces (no quoting), so
// {"/bin/echo a b"} runs /bin/echo with "a" and "b"; the program is looked up
// on the search path. Returns the finished intermediate process's pid; the
// last child status holds the exit code (1 when the program could not be
// executed). An empty command is a PlainError.
pid_t nooutputsystem(const std::vector<std::string>& words);

}  // namespace Tavrel::Init::SysV
