// Tavrel::Service::Base: whether the service is up, why it is not, and
// the waits after a start.
#include "Tavrel/Service/Base.h"

#include "Tavrel/Foundation/Poll.h"
#include "Tavrel/Foundation/Logger.h"
#include "Tavrel/Server/Pkgr.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Process/Proc/PID.h"
#include "Tavrel/Foundation/ProcFs.h"
#include "Tavrel/Foundation/Regex.h"
#include "Tavrel/Server/Enabled.h"
#include "Tavrel/Process/PidFile/Judge.h"
#include "Tavrel/Process/PidFile.h"
#include "Tavrel/Init/CheckService.h"
#include "Tavrel/Init/Questions.h"
#include "Tavrel/Config/OS.h"

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace Tavrel::Service {

namespace {

using Clock = std::chrono::steady_clock;

using Foundation::Poll::pause_for;

// The pauses of one wait: FIRST_POLL_PAUSE, then doubling up to `interval`.
class Pauses {
  public:
    explicit Pauses(double interval)
        : interval_(interval), next_(std::min(interval, Base::FIRST_POLL_PAUSE)) {}
    void pause() {
        pause_for(next_);
        next_ = std::min(interval_, next_ * 2);
    }

  private:
    double interval_;
    double next_;
};

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

Clock::time_point after(Clock::time_point from, double seconds) {
    return from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// When a wait after a start looks whether the start is over: once
// START_GONE_GRACE has passed, then every START_GONE_POLL (the look reads
// the process table or asks systemd, dearer than the wait's own).
class GoneLooks {
  public:
    explicit GoneLooks(Clock::time_point start)
        : next_(after(start, Base::START_GONE_GRACE)) {}
    bool due() {
        if (Clock::now() < next_)
            return false;
        next_ = after(Clock::now(), Base::START_GONE_POLL);
        return true;
    }

  private:
    Clock::time_point next_;
};

// A symbolic link is not a pid file: it is never followed.
bool exists_as_regular_file(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

// Restores a saved value of a string when it goes out of scope.
namespace {
class RestoreText final {
  public:
    explicit RestoreText(std::string& target) : target_(target), saved_(target) {}
    ~RestoreText() { target_ = std::move(saved_); }
    RestoreText(const RestoreText&) = delete;
    RestoreText& operator=(const RestoreText&) = delete;

  private:
    std::string& target_;
    std::string saved_;
};
}  // namespace

std::string Base::get_status_string() {
    if (!can_check_service_status())
        return fmt::format(fmt::runtime(NOT_CHECKABLE_STATUS), service_name());
    if (auto text = service_manager().status_helper(*this))
        return *text;
    return _check_service(_status_check_options());
}

Init::CheckServiceOptions Base::_status_check_options() {
    Init::CheckServiceOptions options;
    options.service = service_name();
    options.user = processowner();
    options.pidfile = pidfile();
    // A service the run drives through its init script because systemd had
    // no usable unit of that name: the check would only ask systemd the same
    // question again (a systemctl run, the most of what a look costs).
    options.ignore_systemd =
        run_options().ignore_systemd || (!unit_without_systemd_.empty() && unit_without_systemd_ == options.service);
    options.command_line_regex = command_line_regex();
    options.binary = service_binary();
    options.program = pid_exe();
    // Not where the administrator drives the service past systemd: its
    // daemon then runs outside the unit (a run that only found systemd
    // silent still knows the unit from its files).
    options.unit = run_options().ignore_systemd ? std::string() : _own_unit_for_look();
    return options;
}

// Under systemd a service with a unit runs in that unit's control group, so
// a process of its program in another unit's group (a second unit made from
// the same program) is not it. Root asks systemd; another account, which
// may not reach systemd, reads the unit files. A service without a unit
// (one the tool launches, an init script alone) has its daemon wherever its
// starter ran, so no group rules it out.
std::string Base::_own_unit_for_look() {
    if (!Config::OS::is_systemd())
        return {};
    if (std::string id = systemd_unit_id(); !id.empty())
        return id;
    return Init::unit_id_from_files(service_name());
}

std::string Base::status() {
    bool inside = _called_from_restart();
    std::string text = get_status_string();
    set_service_status(text);
    last_status_ = text;
    answered_look_ = text;
    if (!text.empty())
        return text;
    if (!inside)
        check_sanity();
    _generate_is_down_exception();
}

bool Base::check() {
    std::string text = status();
    check_sanity();
    std::optional<bool> result = service_manager().check(*this, text);
    if (!result)
        return true;
    debug("The init system checked " + service_name() + ": " + (*result ? "good" : "bad"));
    return *result;
}

std::pair<bool, std::string> Base::check_with_message() {
    RestoreText restore(last_status_);
    last_status_.clear();
    bool ok = check();
    std::string message = last_status_.empty() ? get_status_string() : last_status_;
    return {ok, message};
}

bool Base::check_sanity() {
    _verify_role();
    if (!is_configured())
        _generate_not_configured_exception();
    if (can_check_service_status() && !is_enabled()) {
        if (verbose()) {
            if (auto files = Server::Enabled::get_files_for_service(service())) {
                for (const auto& file : *files) {
                    struct stat st {};
                    if (::lstat(file.c_str(), &st) == 0)
                        debug("The file " + file + " disables the service " + service());
                }
            }
        }
        _generate_disabled_exception();
    }
    _check_program_is_there();
    return true;
}

void Base::_check_program_is_there() {
    std::string binary = service_binary();
    bool runnable = !binary.empty() && ::access(binary.c_str(), X_OK) == 0;
    int access_error = runnable ? 0 : errno;
    std::vector<std::string> packages = service_package();
    if (!runnable && !packages.empty()) {
        debug("The program of " + service() + " is missing; checking its packages");
        for (const auto& package : packages) {
            std::optional<std::string> version = Server::Pkgr::get_package_version(package);
            if (!version || version->empty()) {
                if (verbose())
                    info("The package " + package + " of the service " + service() +
                         " is not installed.");
                _generate_not_installed_exception(package);
            }
        }
    }
    if (!binary.empty() && !runnable)
        _generate_binary_not_found_exception(access_error);
}

bool Base::is_up(const std::optional<std::string>& via) {
    if (auto answer = service_manager().is_up(*this))
        return *answer;
    std::string text = get_status_string();
    if (text.empty())
        return false;
    if (!via)
        return true;
    Foundation::Regex pattern(Foundation::Regex::escape(*via) + IS_UP_VIA_SUFFIX);
    return pattern.test(text);
}

bool Base::is_up_via_pidfile(bool just_started) {
    std::string path = pidfile();
    if (path.empty())
        return false;
    struct stat st {};
    if (::stat(Foundation::ProcFs::PROC_PATH.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw Foundation::PlainError("The process file system is not mounted at " + Foundation::ProcFs::PROC_PATH + ".");

    auto start = Clock::now();
    GoneLooks gone_looks(start);
    // Right after a start, a daemon that has gone writes no pid file: the
    // wait ends as soon as nothing of the service runs.
    auto gone = [&] { return just_started && gone_looks.due() && _started_and_gone(start); };
    bool present = exists_as_regular_file(path);
    Pauses until_present(PIDFILE_POLL_INTERVAL);
    while (!present && seconds_since(start) <= startup_timeout()) {
        if (gone())
            return false;
        until_present.pause();
        present = exists_as_regular_file(path);
    }
    if (!present) {
        bool trace = logger()->get_backtrace();
        logger()->set_backtrace(false);
        warn(fmt::format("The service “{}” did not write its pid file {} within {} seconds.",
                         service_name(), path, startup_timeout()));
        logger()->set_backtrace(trace);
        return false;
    }
    pidfile_precheck();

    // The pid file's process counts only when it is the service's own: a
    // pid file left by a daemon killed with -9 may name another account's
    // process by now.
    const Process::PidFile::Judge::Expectation expected{
        .program = pid_exe(), .binary = service_binary(), .owner = processowner()};
    auto judged = Process::PidFile::Judge::judge(path, expected);
    for (int attempt = 1; !judged.named && attempt < PID_READ_TRIES; ++attempt) {
        pause_for(PID_READ_PAUSE);
        judged = Process::PidFile::Judge::judge(path, expected);
    }
    if (judged.confirmed())
        return true;
    if (!just_started) {
        debug(judged.reason);
        return false;
    }
    // A daemon that forks may write its parent's pid first and rewrite the
    // file from the child once the parent has gone: right after a start,
    // give it until the start-up limit to name a live process of its own.
    Pauses until_live(PIDFILE_POLL_INTERVAL);
    while (seconds_since(start) <= startup_timeout()) {
        if (gone())
            return false;
        until_live.pause();
        judged = Process::PidFile::Judge::judge(path, expected);
        if (judged.confirmed())
            return true;
    }
    debug(judged.reason);
    return false;
}

std::string Base::wait_for_service_status(int attempt) {
    if (!can_check_service_status())
        return get_status_string();
    bool progress = verbose() == 1;
    if (attempt == 0) {
        // A space first: the line so far ends with the start's dots.
        if (progress)
            output_partial(" Waiting for " + service_name() + " to come up ");
        else
            debug("Waiting for " + service_name() + " to come up");
    }
    set_service_status("");

    std::string text;
    auto start = Clock::now();
    GoneLooks gone_looks(start);
    long last_reported = -1;
    bool first = true;
    Pauses pauses(STATUS_POLL_INTERVAL);
    while (seconds_since(start) < STATUS_WAIT_LIMIT) {
        if (progress && first)
            output_partial(PROGRESS_MARKER);
        first = false;
        try {
            text = status();
        } catch (const std::exception&) {
            text.clear();
        }
        if (!text.empty())
            break;
        // A start whose daemon has gone would only be waited out.
        if (gone_looks.due() && _started_and_gone(start))
            break;
        long elapsed = static_cast<long>(seconds_since(start));
        if (elapsed != last_reported) {
            last_reported = elapsed;
            debug("Waited " + std::to_string(elapsed) + " seconds for " + service_name());
        }
        pauses.pause();
    }
    set_service_status(text);
    return text;
}

bool Base::_started_and_gone(Clock::time_point since) {
    if (!_start_is_over())
        return false;
    start_doubt_ = "Nothing of it was left running after its start.";
    warn(fmt::format("The service “{}” ended right after its start: nothing of it was running {:.1f} "
                     "seconds after it.",
                     service_name(), seconds_since(since)));
    return true;
}

std::string Base::_check_service(const Init::CheckServiceOptions& options) {
    return Init::check_service(options);
}

}  // namespace Tavrel::Service
