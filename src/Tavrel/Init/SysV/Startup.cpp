#include "Tavrel/Init/SysV/Startup.h"

#include "Tavrel/Foundation/Poll.h"
#include "Tavrel/Run/CloseFDs.h"
#include "Tavrel/Foundation/ErrnoGuard.h"
#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/File/Open.h"
#include "Tavrel/Run/ForkAsync.h"
#include "Tavrel/Run/ForkSync.h"
#include "Tavrel/Foundation/Logger.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Foundation/File/MakeDir.h"
#include "Tavrel/Run/SafeRun/Child.h"
#include "Tavrel/Run/SafeRun/LastStatus.h"
#include "Tavrel/Run/SafeRun/SignalGuard.h"
#include "Tavrel/Init/Log.h"
#include "Tavrel/Run/Setsid.h"
#include "Tavrel/Foundation/Validate/FilesystemNodeName.h"
#include "Tavrel/Init/SysV/StartupLog.h"
#include "Tavrel/Init/Systemd/Systemctl.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

namespace Tavrel::Init::SysV {

namespace {

// The argument vector for exec: built before any fork, so the child only
// reads it.
class Argv {
  public:
    Argv(const std::string& program, const std::vector<std::string>& args) {
        words_.reserve(args.size() + 1);
        words_.push_back(program);
        words_.insert(words_.end(), args.begin(), args.end());
        for (auto& w : words_)
            ptrs_.push_back(w.data());
        ptrs_.push_back(nullptr);
    }
    explicit Argv(std::vector<std::string> words) : words_(std::move(words)) {
        for (auto& w : words_)
            ptrs_.push_back(w.data());
        ptrs_.push_back(nullptr);
    }
    char* const* get() const { return ptrs_.data(); }
    const char* program() const { return ptrs_[0]; }

  private:
    std::vector<std::string> words_;
    std::vector<char*> ptrs_;
};

// In a forked child: a descriptor that standard streams cannot clobber.
int above_stdio(int fd) {
    if (fd > 2)
        return fd;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    return moved >= 0 ? moved : fd;
}

// In a forked child: `fd` becomes `target`, surviving exec.
void move_to(int fd, int target) {
    if (fd == target)
        ::fcntl(fd, F_SETFD, 0);
    else
        ::dup2(fd, target);
}

void write_all(int fd, const char* text, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, text, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text += n;
        length -= static_cast<size_t>(n);
    }
}

// In the launched child: standard streams to the log, the null device as
// input, nothing else open but `keep` (-1 for none; already above 2), then
// exec. Returns only
// when the exec failed, with errno set.
void exec_with_log(const char* program, char* const* argv, int log_fd, const char* null_device,
                   int keep) {
    Run::SafeRun::reset_child_signals();
    log_fd = above_stdio(log_fd);
    move_to(log_fd, 2);
    move_to(log_fd, 1);
    int in = ::open(null_device, O_RDONLY | O_CLOEXEC);
    if (in >= 0)
        move_to(in, 0);
    else
        ::close(0);
    Run::CloseFDs::fast_closefds({keep});
    ::execv(program, argv);
}

bool is_executable_file(const std::string& path) {
    Foundation::ErrnoGuard keep;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

std::string errno_text(int err) {
    return std::strerror(err);
}

// Waits up to `seconds` until the process group `leader` leads has no
// process left (the leader reaped, nothing else in the group); true then.
bool wait_until_group_gone(Run::SafeRun::Child& leader, double seconds) {
    const pid_t group = leader.pid();
    return Foundation::Poll::until(
        [&] {
            leader.wait(0);
            return leader.reaped() && ::kill(-group, 0) != 0 && errno == ESRCH;
        },
        {.within = seconds, .every = COMMAND_GONE_POLL});
}

// A command that ran out its time: TERM to its whole process group, KILL
// COMMAND_KILL_GRACE seconds later to whatever is left. The leader is not
// reaped before the TERM, so the group's id cannot have been reused.
void end_process_group(Run::SafeRun::Child& leader) {
    Foundation::ErrnoGuard keep;
    const pid_t group = leader.pid();
    ::kill(-group, SIGTERM);
    if (wait_until_group_gone(leader, COMMAND_KILL_GRACE))
        return;
    ::kill(-group, SIGKILL);
    wait_until_group_gone(leader, COMMAND_GONE_WAIT);
}

// "90", "0.5": a bound as a person reads it.
std::string seconds_text(double seconds) {
    return fmt::format("{:g}", seconds);
}

std::string joined(const std::vector<std::string>& words) {
    std::string line;
    for (const auto& word : words)
        line += (line.empty() ? "" : " ") + word;
    return line;
}

// An unnamed file of this run's own, in the first of STAND_IN_DIRS that takes
// one: it goes when the last process holding it closes it.
Foundation::Fd::UniqueFd unnamed_file() {
    for (const auto& dir : STAND_IN_DIRS) {
        Foundation::Fd::UniqueFd fd(::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
        if (fd)
            return fd;
    }
    return {};
}

// What the service's output goes to when its startup log cannot be opened
// (`why`): the stand-in of this run, made on the first launch and kept by
// the log retrieval, which shows it; the null device when there is none.
Foundation::Fd::UniqueFd startup_log_stand_in(std::string_view service, bool wipe,
                                              const std::string& why) {
    std::string path;
    try {
        path = StartupLog::startup_log_path(service);
    } catch (const std::exception&) {
        // A name that names no log has no stand-in either.
    }
    int kept = path.empty() ? -1 : Log::startup_log_stand_in(path);
    if (kept < 0 && !path.empty()) {
        if (auto fd = unnamed_file()) {
            kept = fd.get();
            Log::keep_startup_log_stand_in(path, std::move(fd), why);
            Foundation::Logger::create()->warn("The startup log " + path + " could not be written (" +
                                               why + "); what the service prints in this run is "
                                               "kept for this run's display only.");
        }
    } else if (kept >= 0 && wipe) {
        (void)!::ftruncate(kept, 0);
    }
    Foundation::Fd::UniqueFd out(kept >= 0 ? ::fcntl(kept, F_DUPFD_CLOEXEC, 3) : -1);
    if (out) {
        ::fcntl(out.get(), F_SETFL, O_APPEND);
        return out;
    }
    out.reset(::open(NULL_DEVICE.c_str(), O_WRONLY | O_CLOEXEC));
    if (!out) {
        const int err = errno;
        throw Foundation::PlainError("Could not open " + NULL_DEVICE + " for writing: " + errno_text(err));
    }
    return out;
}

}  // namespace

std::optional<pid_t> logged_startup(std::string_view service, bool wipe,
                                     const std::vector<std::string>& command,
                                     const LoggedStartupOptions& options) {
    Foundation::ErrnoGuard keep_errno;
    if (command.empty())
        throw Foundation::PlainError("logged_startup needs a command to launch.");
    _mkdir_or_log_failure(StartupLog::STARTUP_LOG_DIR);

    const std::string& program = command.front();
    const std::vector<std::string> args(command.begin() + 1, command.end());

    // Started by init as the unit's own command: become the daemon, so that
    // systemd tracks the real process.
    if (options.started_by_init && Systemd::Systemctl::has_service_via_systemd(service)) {
        Argv argv(program, args);
        // The daemon gets the signal state a launched child gets: this
        // program ignores SIGPIPE and SIGHUP, and an ignored signal survives
        // exec (a daemon that reloads on HUP would never see it).
        struct sigaction dfl {}, saved_pipe {}, saved_hup {};
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        sigset_t none, saved_mask;
        sigemptyset(&none);
        ::sigaction(SIGPIPE, &dfl, &saved_pipe);
        ::sigaction(SIGHUP, &dfl, &saved_hup);
        ::sigprocmask(SIG_SETMASK, &none, &saved_mask);
        ::execv(argv.program(), argv.get());
        // Could not: launch it the ordinary way below.
        ::sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
        ::sigaction(SIGHUP, &saved_hup, nullptr);
        ::sigaction(SIGPIPE, &saved_pipe, nullptr);
    }

    Foundation::Fd::UniqueFd log;
    try {
        log = _open_startup_log(service, wipe ? StartupLogMode::Write : StartupLogMode::Append);
    } catch (const std::exception&) {
        // No log is no reason not to start the service; and what it prints
        // still tells why a start failed.
        log = startup_log_stand_in(service, wipe, errno_text(errno));
    }

    if (!options.wait)
        return _start_as_daemon(program, log.get(), args);
    try {
        return _start_capture_and_wait(program, log.get(), args, options.timeout);
    } catch (const Foundation::Exception& e) {
        if (!e.isa("Child::TimedOut"))
            throw;
        throw Foundation::Exception::create("Services::CommandTimedOut", {{"service", std::string(service)},
                                                              {"program", program},
                                                              {"action", joined(args)},
                                                              {"timeout", seconds_text(options.timeout)}});
    }
}

pid_t _start_as_daemon(const std::string& program, int log_fd,
                       const std::vector<std::string>& args) {
    const Argv argv(program, args);
    const char* null_device = NULL_DEVICE.c_str();
    Run::ForkSync run([&]() -> Run::ForkSync::Value {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            const int err = errno;
            throw Foundation::PlainError("Could not create a pipe: " + errno_text(err));
        }
        const pid_t daemon = Run::ForkAsync::do_in_child([&] {
            ::close(fds[0]);
            const int report = above_stdio(fds[1]);
            exec_with_log(argv.program(), argv.get(), log_fd, null_device, report);
            // The exec failed: tell the launcher why, through the pipe.
            const int err = errno;
            const unsigned char byte = static_cast<unsigned char>(err);
            write_all(report, reinterpret_cast<const char*>(&byte), 1);
            ::_exit(err & 0xff);
        });
        ::close(fds[1]);
        unsigned char byte = 0;
        ssize_t n;
        do {
            n = ::read(fds[0], &byte, 1);
        } while (n < 0 && errno == EINTR);
        ::close(fds[0]);
        if (n == 1)
            return Run::ForkSync::Value{{"error", static_cast<int>(byte)}, {"program", program}};
        return Run::ForkSync::Value(daemon);
    });
    const auto& value = run.return_value();
    if (!value) {
        throw Foundation::PlainError("Could not launch " + program + ": " +
                         (run.exception_text().empty() ? run.retrieve_error()
                                                       : run.exception_text()));
    }
    if (value->is_object()) {
        const int err = (*value)["error"].get<int>();
        errno = err;
        throw Foundation::Exception::create("Io::CommandOpenFailed", {{"program", program}, {"error", err}});
    }
    return value->get<pid_t>();
}

std::optional<pid_t> _start_capture_and_wait(const std::string& program, int log_fd,
                                             const std::vector<std::string>& args,
                                             double timeout) {
    if (!is_executable_file(program)) {
        Run::SafeRun::set_last_child_status(2 << 8);
        return std::nullopt;
    }
    const Argv argv(program, args);
    const char* null_device = NULL_DEVICE.c_str();
    // Waiting needs the default SIGCHLD: an ignored one reaps behind our back.
    Run::SafeRun::SignalGuard waitable(SIGCHLD, SIG_DFL);
    const pid_t pid = Run::Setsid::full_daemonize({.keep_parent = true, .wait = false});
    if (pid == 0) {
        exec_with_log(argv.program(), argv.get(), log_fd, null_device, -1);
        // Standard error is the log by now: say there why nothing ran.
        const int err = errno;
        const char* text = std::strerror(err);
        write_all(2, argv.program(), std::strlen(argv.program()));
        const char* what = ": could not execute: ";
        write_all(2, what, std::strlen(what));
        write_all(2, text, std::strlen(text));
        write_all(2, "\n", 1);
        ::_exit(err & 0xff ? err & 0xff : 127);
    }
    // The session leader is the intermediate process, so its pid is the
    // group of everything the command started without detaching.
    Run::SafeRun::Child leader(pid);
    const auto status = leader.wait(timeout);
    if (!status) {
        end_process_group(leader);
        throw Foundation::Exception::create("Child::TimedOut",
                                {{"program", program}, {"timeout", seconds_text(timeout)}});
    }
    Run::SafeRun::set_last_child_status(*status);
    return pid;
}

Foundation::Fd::UniqueFd _open_startup_log(std::string_view service, StartupLogMode mode) {
    Foundation::ErrnoGuard keep_errno;
    const std::string path = StartupLog::startup_log_path(service);
    const bool write = mode == StartupLogMode::Write;
    const char* mode_text = write ? ">" : ">>";
    // No symbolic link is followed, and O_NONBLOCK keeps a FIFO planted at
    // the path from blocking the launch; the type is checked below.
    const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | (write ? O_TRUNC : O_APPEND);
    Foundation::Fd::UniqueFd fd(Foundation::File::Open::sysopen_with_real_perms(path, flags, 0600));
    int err = errno;
    struct stat st {};
    if (fd && ::fstat(fd.get(), &st) != 0) {
        err = errno;
        fd.reset();
    } else if (fd && !S_ISREG(st.st_mode)) {
        err = EINVAL;
        fd.reset();
    }
    if (!fd) {
        keep_errno.reporting();
        errno = err;
        throw Foundation::Exception::create("Io::OpenFailed",
                                {{"path", path}, {"mode", mode_text}, {"error", err}});
    }
    // Appending even after a truncation: when the log is rotated by copying
    // and truncating it, a daemon that still holds it writes at the new end,
    // not at its old offset past a hole.
    ::fcntl(fd.get(), F_SETFL, O_APPEND);
    // A log left by an older run with wider permissions is made private.
    if ((st.st_mode & 07777) != 0600 && st.st_uid == ::geteuid())
        ::fchmod(fd.get(), 0600);
    // What this run writes from here on is what it shows.
    Log::mark_log_opened(path, fd.get(), write);
    return fd;
}

bool append_to_startup_log(std::string_view service, std::string_view message) {
    Foundation::Validate::FilesystemNodeName::validate_or_die(service);
    if (message.empty())
        return true;
    Foundation::ErrnoGuard keep_errno;
    _mkdir_or_log_failure(StartupLog::STARTUP_LOG_DIR);
    auto fd = _open_startup_log(service, StartupLogMode::Append);
    while (!message.empty()) {
        const ssize_t n = ::write(fd.get(), message.data(), message.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            keep_errno.reporting();
            throw Foundation::PlainError("Could not write to the startup log of " + std::string(service) +
                             ": " + errno_text(err));
        }
        message.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::optional<std::string> fetch_startup_log(std::string_view service) {
    Foundation::Validate::FilesystemNodeName::validate_or_die(service);
    auto [ok, text] = Log::fetch_service_startup_log(service);
    if (!ok)
        return std::nullopt;
    return std::move(text);
}

void _mkdir_or_log_failure(const std::string& directory) {
    Foundation::ErrnoGuard keep_errno;
    struct stat st {};
    if (::stat(directory.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return;
    if (!Foundation::File::MakeDir::safemkdir(directory, 0700, {.parents = true})) {
        const int err = errno;
        Foundation::Logger::create()->warn("Could not create the directory " + directory + ": " + errno_text(err));
    }
}

pid_t nooutputsystem(const std::vector<std::string>& words) {
    auto end = words.end();
    while (end != words.begin() && (end - 1)->empty())
        --end;
    std::vector<std::string> argv_words;
    for (auto it = words.begin(); it != end; ++it) {
        std::string_view rest(*it);
        for (;;) {
            const auto space = rest.find(' ');
            const std::string_view piece = rest.substr(0, space);
            // Runs of spaces give no empty arguments.
            if (!piece.empty())
                argv_words.emplace_back(piece);
            if (space == std::string_view::npos)
                break;
            rest.remove_prefix(space + 1);
        }
    }
    if (argv_words.empty())
        throw Foundation::PlainError("nooutputsystem needs a command to run.");
    const Argv argv(std::move(argv_words));
    const char* null_device = NULL_DEVICE.c_str();
    int status = 0;
    const pid_t pid = Run::Setsid::full_daemonize({.keep_parent = true, .wait_status = &status});
    if (pid == 0) {
        Run::SafeRun::reset_child_signals();
        Run::CloseFDs::fast_closefds();
        int in = ::open(null_device, O_RDONLY | O_CLOEXEC);
        int out = ::open(null_device, O_WRONLY | O_CLOEXEC);
        if (in >= 0)
            move_to(in, 0);
        if (out >= 0) {
            move_to(out, 1);
            move_to(out, 2);
        }
        ::execvp(argv.program(), argv.get());
        ::_exit(1);
    }
    Run::SafeRun::set_last_child_status(status);
    return pid;
}

}  // namespace Tavrel::Init::SysV
