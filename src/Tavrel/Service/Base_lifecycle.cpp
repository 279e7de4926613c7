// Tavrel::Service::Base: start, stop, restart and reload, with the
// guards around them and the typed failures they raise.
#include "Tavrel/Service/Base.h"
#include "Tavrel/Service/Plan.h"

#include "Tavrel/Process/IONice.h"
#include "Tavrel/Process/Proc/PID.h"
#include "Tavrel/Foundation/LogCheck.h"
#include "Tavrel/Foundation/Logger.h"
#include "Tavrel/Process/Rlimit/Unset.h"
#include "Tavrel/Run/SafeRun/Object.h"
#include "Tavrel/Server/Type/Profile/Roles.h"
#include "Tavrel/Server/Monitor/Suspension.h"
#include "Tavrel/Service/RunSignals.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

namespace Tavrel::Service {

namespace {

// Raises the inside-restart depth for the length of a scope.
class RestartScope final {
  public:
    explicit RestartScope(int& depth) : depth_(depth) { ++depth_; }
    ~RestartScope() { --depth_; }
    RestartScope(const RestartScope&) = delete;
    RestartScope& operator=(const RestartScope&) = delete;

  private:
    int& depth_;
};

bool is_regular_file(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The last `count` lines of a program's output, without the final newline:
// where a configuration test names what is wrong.
std::string last_lines(std::string text, size_t count) {
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    size_t start = text.size();
    for (size_t seen = 0; seen < count; ++seen) {
        const size_t newline = start == 0 ? std::string::npos : text.rfind('\n', start - 1);
        if (newline == std::string::npos)
            return text;
        start = newline;
    }
    return text.substr(start + 1);
}

}  // namespace

// --- Failures ---------------------------------------------------------------

Foundation::Exception Base::service_exception(std::string_view type, Foundation::Exception::Metadata extra) {
    Foundation::Exception::Metadata metadata{{"service", service()}};
    for (auto& entry : extra)
        metadata.push_back(std::move(entry));
    return Foundation::Exception::create("Services::" + std::string(type), std::move(metadata));
}

void Base::_generate_start_exception() {
    Foundation::Exception::Metadata extra;
    std::string hint = service_manager().start_refusal_hint(*this);
    if (hint.empty())
        hint = start_doubt_;
    if (!start_hint_.empty())
        hint += (hint.empty() ? "" : " ") + start_hint_;
    if (!hint.empty())
        extra.emplace_back("hint", std::move(hint));
    throw service_exception("StartError", std::move(extra));
}
void Base::_generate_restart_exception() { throw service_exception("RestartError"); }
void Base::_generate_reload_exception() { throw service_exception("ReloadError"); }

void Base::_generate_is_down_exception() {
    // A down service is an expected outcome, not a fault worth a trace.
    auto suppressor = Foundation::Exception::get_stack_trace_suppressor();
    throw service_exception("IsDown");
}

void Base::_generate_disabled_exception() { throw service_exception("Disabled"); }

void Base::_generate_not_configured_exception() {
    std::string reason = not_configured_reason();
    Foundation::Exception::Metadata extra;
    if (!reason.empty())
        extra.emplace_back("reason", reason);
    throw service_exception("NotConfigured", std::move(extra));
}

void Base::_generate_not_installed_exception(const std::string& package) {
    Foundation::Exception::Metadata extra;
    if (!package.empty())
        extra.emplace_back("package", package);
    throw service_exception("NotInstalled", std::move(extra));
}

void Base::_generate_binary_not_found_exception(int error_number) {
    Foundation::Exception::Metadata extra{{"binary", service_binary()}};
    if (error_number != 0)
        extra.emplace_back("error", error_number);
    throw service_exception("BinaryNotFound", std::move(extra));
}

Foundation::Exception Base::_no_roles_exception() {
    return Foundation::Exception::create("Services::RoleNotAllowed", {{"service_name", service_name()}});
}

// --- Guards -----------------------------------------------------------------

void Base::_end_progress_line(bool success) {
    if (verbose() != 1)
        return;
    output(success ? SUCCESS_WORD : FAILURE_WORD);
    output("");
}

bool Base::_called_from_restart() {
    if (_pretend_not_called_from_restart()) {
        set__pretend_not_called_from_restart(false);
        return false;
    }
    return restart_depth_ > 0;
}

void Base::_exit_if_block_fresh_install() {
    if (std::getenv("TAVREL_BASE_INSTALL") == nullptr || !block_fresh_install() ||
        call_with_force())
        return;
    const std::string said = "The system skips the action on the service “" + service_name() +
                             "” while the base installation runs.";
    info(said);
    // Read by the result record, which the process writes as it ends.
    set_nothing_done(said);
    _exit(0);
}

bool Base::setrlimits() { return Process::Rlimit::Unset::unset_rlimits(); }

void Base::resetnice() {
    errno = 0;
    if (::setpriority(PRIO_PROCESS, 0, 0) != 0)
        warn(std::string("The system could not reset the scheduling priority: ") +
             std::strerror(errno));
    Process::IONice::reset();
}

void Base::_prepare_process_for_service_programs() {
    if (process_prepared_)
        return;
    process_prepared_ = true;
    ::umask(START_UMASK);
    setrlimits();
    resetnice();
}

bool Base::_service_is_role_aware_and_disabled() {
    return !Server::Type::Profile::Roles::is_service_allowed(service());
}

void Base::_verify_role() {
    if (verify_role_done_)
        return;
    if (_service_is_role_aware_and_disabled())
        throw _no_roles_exception();
    verify_role_done_ = true;
}

// --- start ------------------------------------------------------------------

bool Base::start() {
    bool inside = _called_from_restart();
    if (!inside) {
        check_sanity();
        _terminate_orphaned_processes();
    }
    if (!is_enabled())
        return false;
    if (auto ok = start_check(); ok && !*ok)
        return false;
    _exit_if_block_fresh_install();
    if (run_options().dry_run)
        return _plan_start();
    Foundation::LogCheck::logcheck();
    _prepare_process_for_service_programs();

    bool progress = verbose() == 1;
    if (progress && !inside)
        output_partial("Starting " + service_name() + " ");
    else
        debug("Starting " + service_name());

    start_hint_.clear();
    std::optional<int> one_attempt = current_restart_attempt();
    int attempt = one_attempt.value_or(0);
    int max = restart_attempts() > 0 ? restart_attempts() : 1;
    size_t port_count = ports().size();
    if (max < 2 && port_count > 0)
        ++max;

    bool started = false;
    while (attempt < max || one_attempt) {
        if (progress)
            output_partial(PROGRESS_MARKER);
        if (attempt > 0) {
            debug("Start attempt " + std::to_string(attempt) + " for " + service_name());
            // On ports still held where it would listen, another attempt
            // would fail alike.
            if (attempt == 1 && port_count > 0 && !_clear_ports_for_next_attempt())
                break;
            service_manager().restart_attempt(*this, attempt);
            restart_attempt(attempt);
        }
        std::string pid_path = pidfile();
        if (!pid_path.empty() && is_regular_file(pid_path) && !is_up_via_pidfile()) {
            debug("Removing the stale pid file " + pid_path);
            if (::unlink(pid_path.c_str()) != 0 && errno != ENOENT) {
                // Left there, it may be read as the new daemon's.
                const std::string error = std::strerror(errno);
                const std::string why = "The stale pid file " + pid_path + " of " + service_name() +
                                        " could not be removed: " + error + ".";
                warn(why);
                if (start_hint_.find(why) == std::string::npos)
                    start_hint_ += (start_hint_.empty() ? "" : " ") + why;
            }
        }
        const auto copies_before = _running_copies();
        start_doubt_.clear();
        bool up = false;
        try {
            if (service_manager().start(*this)) {
                // The start is seen: from here the daemon has its chance to fail.
                const auto seen = std::chrono::steady_clock::now();
                const auto marks = service_manager().start_marks(*this);
                up = (pid_path.empty() || is_up_via_pidfile(true)) &&
                     !wait_for_service_status(attempt).empty() && _confirm_start(seen, marks);
            }
        } catch (const Foundation::Exception&) {
            // A start the init system did not finish within its bound fails
            // the run at once: the progress line ends before the failure.
            _end_progress_line(false);
            throw;
        }
        if (up) {
            started = true;
            break;
        }
        // What this attempt launched goes before the next one, and after the
        // last: a daemon that never writes its pid file would pile up copies.
        _end_copies_not_in(copies_before);
        if (one_attempt)
            break;
        ++attempt;
    }

    _end_progress_line(started);
    // The monitor may watch the service again as soon as it runs; what a
    // stop of this run suspended lapses only when the service stays down.
    if (started && suspended_monitor_) {
        Server::Monitor::Suspension::resume_service(service_to_suspend());
        suspended_monitor_ = false;
    }
    if (!started) {
        // The status recorded before (by a restart's first look) no longer
        // holds: shown after the failure, it said the service ran.
        set_service_status("");
        _generate_start_exception();
    }
    return true;
}

// --- stop -------------------------------------------------------------------

bool Base::stop() {
    _prepare_process_for_service_programs();
    bool inside = _called_from_restart();
    bool progress = verbose() == 1;
    // A stop run on behalf of systemd always goes on to the backend.
    // Copies of a daemon that never wrote its pid file make no status, but
    // they are the service all the same; so is a unit still starting.
    if (!service_manager().this_process_was_executed_by_systemd() && !is_up() &&
        _running_copies().empty() && !service_manager().is_under_way(*this)) {
        debug("The service " + service_name() + " is not running; nothing to stop");
        // Said once, by the line that closes the run, not as well as "was stopped".
        if (!inside)
            set_nothing_done("The service “" + service() + "” is not running; nothing was done.");
        return true;
    }
    stop_check();
    if (run_options().dry_run)
        return _plan_stop();
    if (progress && !inside)
        output_partial("Stopping " + service_name() + " ");
    else
        debug("Stopping " + service_name());

    suspended_monitor_ =
        Server::Monitor::Suspension::suspend_service(service_to_suspend(), suspend_time()).value_or(false);
    if (progress)
        output_partial(PROGRESS_MARKER);
    // A restart starts the service again anyway; any other stop must last.
    if (!inside && service_manager().stop_triggers(*this) == false)
        warn("Not every socket that starts " + service_name() +
             " on demand could be stopped: a connection may start it again.");
    restart_stop_began_.reset();
    if (inside && service_manager().starts_services_by_itself())
        restart_stop_began_ = Process::Proc::PID::boot_ticks_now();
    bool told = false;
    try {
        told = service_manager().stop(*this);
    } catch (const Foundation::Exception&) {
        if (!inside)
            _end_progress_line(false);
        throw;
    }
    if (!told)
        debug("The init system reported a failed stop of " + service_name());
    if (!inside)
        _terminate_orphaned_processes();
    // Copies that no pid file names: a daemon that never wrote one.
    const auto copies = _launched_copies();
    if (!copies.empty()) {
        debug("Ending copies of " + service_name() + " that no pid file names: " +
              Copies::describe(copies));
        Copies::end(copies, COPIES_GRACE);
    }
    // The answer is what runs now, whatever the stop command said.
    try {
        _confirm_stopped();
    } catch (const Foundation::Exception&) {
        if (!inside)
            _end_progress_line(false);
        throw;
    }
    if (!inside)
        _end_progress_line(true);
    return true;
}

// --- restart ----------------------------------------------------------------

std::string Base::restart(std::optional<bool> graceful) {
    _prepare_process_for_service_programs();
    RestartScope scope(restart_depth_);
    return restart_inner(graceful);
}

std::string Base::restart_inner(std::optional<bool> graceful) {
    _exit_if_block_fresh_install();
    // A dry run's steps are lines of their own, never a progress line.
    bool progress = verbose() == 1 && !run_options().dry_run;

    std::string running;
    try {
        running = status();
    } catch (const Foundation::Exception& e) {
        if (!e.isa("Services::IsDown"))
            throw;
    }

    bool disabled = !is_enabled();
    bool role_off = _service_is_role_aware_and_disabled();
    if ((role_off || disabled) && !running.empty()) {
        set_service_argv_action(Verb::Stop);
        set__pretend_not_called_from_restart(true);
        if (!stop())
            return {};
        if (disabled && run_options().dry_run) {
            Plan::step(*this, "refusal",
                       "It would stop “" + service_name() + "” because it is disabled, and not start it again.");
            _generate_disabled_exception();
        }
        if (disabled) {
            info("The system stopped the service “" + service_name() + "” because it is disabled.");
            _generate_disabled_exception();
        }
        Foundation::Exception e = _no_roles_exception();
        info(e.to_string_no_id());
        throw e;
    }

    if (running.empty()) {
        debug("The service " + service_name() + " is not running; the system will start it");
        check_sanity();
        _terminate_orphaned_processes();
        if (progress)
            output_partial("Starting " + service_name() + " ");
    } else {
        stop_check();
        // A running service whose program or package has gone, or whose unit
        // is masked, could not be started again: refuse before stopping it
        // rather than leave it down.
        _check_program_is_there();
        _check_unit_is_not_masked();
        _check_configuration();
    }

    if (!running.empty() && is_enabled()) {
        if (auto ok = restart_check(); ok && !*ok)
            return {};
        bool want_graceful = graceful.value_or(graceful_by_default());

        if (want_graceful && has_restart_gracefully() && run_options().dry_run) {
            Plan::step(*this, "restart", "It would restart “" + service() + "” gracefully, without dropping connections.",
                       {{"how", "graceful"}});
            return running;
        }
        if (want_graceful && has_restart_gracefully()) {
            if (progress)
                output_partial("Restarting " + service_name() + " gracefully ");
            else
                debug("Restarting " + service_name() + " gracefully");
            const std::string text = restart_gracefully().value_or(false)
                                         ? wait_for_service_status(0)
                                         : std::string();
            _end_progress_line(!text.empty());
            if (!text.empty())
                return text;
            debug("The graceful restart of " + service_name() +
                  " did not complete; falling back to a full restart");
        }

        if (restart_args() && run_options().dry_run && service_manager().has_operation("restart")) {
            Plan::step(*this, "restart", "It would restart “" + service() + "” through " +
                       Plan::init_system_of(*this) + ".", {{"how", "init system"}});
            return running;
        }
        if (restart_args()) {
            debug("Restarting " + service_name() + " through the init system");
            // The fragment follows the call: only a backend that has a
            // restart operation answers, and only then is there a line to show.
            std::optional<bool> done = service_manager().restart(*this);
            if (done) {
                const auto seen = std::chrono::steady_clock::now();
                if (progress)
                    output_partial("Restarting " + service_name() + " ");
                std::string text = *done ? wait_for_service_status(0) : std::string();
                if (!text.empty() && !_confirm_start(seen, std::nullopt))
                    text.clear();
                _end_progress_line(!text.empty());
                if (!text.empty())
                    return text;
            }
        }
    } else if (running.empty()) {
        set_service_argv_action(Verb::Start);
    }

    // From here on, a TERM or a Ctrl-C waits until the start has been tried:
    // ending in the stop would leave the service down, and ending in the
    // start would free the run lock while the start goes on, for the next
    // run to start a second copy beside it.
    const RunSignals::HoldEndingSignals hold(service_name());
    if (!running.empty()) {
        if (progress)
            output_partial("Stopping " + service_name() + " ");
        else
            debug("Stopping " + service_name());
        try {
            stop();
        } catch (const Foundation::Exception& e) {
            // Started now, the service would run twice.
            if (!e.isa("Services::StopError"))
                throw;
            _end_progress_line(false);
            throw service_exception(
                "RestartError",
                {{"hint", "Its stop left it running, so no second copy was started. " +
                              e.get_text("hint")}});
        }
        // The start's markers and its closing word follow on the same line:
        // without this, a failed start read "Stopping x .. failed".
        if (progress)
            output_partial(" and starting it ");
    }
    if (!is_enabled())
        _generate_disabled_exception();
    if (!start())
        return {};
    // A dry run started nothing: what it says is its plan, not a status.
    if (run_options().dry_run)
        return running.empty() ? "planned" : running;
    std::string text = service_status();
    debug(text.empty() ? "The service " + service_name() + " reported no status"
                       : "The service " + service_name() + " reported its status");
    return text;
}

void Base::_check_unit_is_not_masked() {
    const std::string blocker = service_manager().start_blocker();
    if (!blocker.empty())
        throw service_exception("StartError", {{"hint", blocker}});
}

void Base::_check_configuration() {
    const std::vector<std::string> test = config_test();
    if (test.empty())
        return;
    std::string command;
    for (const std::string& word : test)
        command += (command.empty() ? "" : " ") + word;
    if (::access(test[0].c_str(), X_OK) != 0) {
        debug("The configuration test " + command + " cannot be run; going on without it");
        return;
    }
    std::ostringstream said;
    try {
        Run::SafeRun::Object run({.program = test[0],
                             .args = {test.begin() + 1, test.end()},
                             .stdout_to = &said,
                             .stderr_to = &said,
                             .timeout = CONFIG_TEST_TIMEOUT,
                             // The daemon's own environment, as its init
                             // script will see it.
                             .keep_env = true});
        if (run.CHILD_ERROR() == 0) {
            debug("The configuration of " + service_name() + " passes " + command);
            if (run_options().dry_run)
                Plan::step(*this, "configuration", "Its configuration passes “" + command + "”.",
                           {{"test", command}, {"passes", true}});
            return;
        }
        if (said.str().empty())
            said << run.terse_autopsy();
    } catch (const std::exception& e) {
        debug("The configuration test " + command + " could not be run (" + e.what() +
              "); going on without it");
        return;
    }
    throw service_exception(
        "RestartError",
        {{"hint", "Its configuration does not pass “" + command + "”, so the running " +
                      service_name() + " was left as it is. The test said:\n" +
                      last_lines(said.str(), CONFIG_TEST_LINES_SHOWN)}});
}

// --- reload -----------------------------------------------------------------

bool Base::reload() {
    _prepare_process_for_service_programs();
    if (!is_enabled())
        _generate_disabled_exception();
    if (!support_reload()) {
        set_nothing_done(cannot_reload_reason());
        return true;
    }
    std::string out;
    try {
        out = status();
        if (!out.empty())
            check_sanity();
    } catch (const Foundation::Exception& e) {
        // A service that is down, not installed or not configured is simply
        // not reloaded.
        if (!e.isa("Services::IsDown") && !e.isa("Services::NotInstalled") &&
            !e.isa("Services::NotConfigured"))
            throw;
        out.clear();
    }
    if (out.empty()) {
        set_nothing_done("The service “" + service() + "” is not running, so nothing was reloaded.");
        return true;
    }
    if (is_enabled()) {
        if (run_options().dry_run && service_manager().has_operation("reload")) {
            Plan::step(*this, "reload", "It would reload the configuration of “" + service() + "” through " +
                       Plan::init_system_of(*this) + ".", {{"how", "init system"}});
            return true;
        }
        if (verbose() != 0)
            logger()->info("Reloading " + service_name());
        if (auto r = service_manager().reload(*this)) {
            // Some daemons reload by re-executing themselves and rewrite their
            // pid file meanwhile (sshd): the reload is done once the pid file
            // names a live process again, so a stop right after it finds the
            // daemon instead of a missing pid file.
            if (*r && !pidfile().empty())
                return is_up_via_pidfile(true);
            return *r;
        }
        set_nothing_done(cannot_reload_reason());
    }
    return true;
}

std::string Base::cannot_reload_reason() {
    return "The service “" + service() + "” cannot reload its configuration; nothing was done. "
           "A restart applies a changed configuration.";
}

}  // namespace Tavrel::Service
