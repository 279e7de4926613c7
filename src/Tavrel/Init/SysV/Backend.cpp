#include "Tavrel/Init/SysV/Backend.h"

#include "Tavrel/Foundation/Poll.h"
#include "Tavrel/Init/PidfileProcess.h"

#include "Tavrel/Foundation/Autodie.h"
#include "Tavrel/Run/ChildErrorStringifier.h"
#include "Tavrel/Run/Env.h"
#include "Tavrel/Foundation/ErrnoGuard.h"
#include "Tavrel/Process/Kill/Target.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Process/Proc/PID.h"
#include "Tavrel/Run/SafeRun/LastStatus.h"
#include "Tavrel/Process/PidFile/Judge.h"
#include "Tavrel/Process/PidFile.h"
#include "Tavrel/Init/Doomed.h"
#include "Tavrel/Init/SysV/InitFile.h"
#include "Tavrel/Init/SysV/Startup.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

namespace Tavrel::Init::SysV {

namespace {

std::string in_quotes(const std::string& text) {
    return "“" + text + "”";
}

std::string join_command(const std::vector<std::string>& command) {
    std::string line;
    for (const auto& word : command) {
        if (!line.empty())
            line += ' ';
        line += word;
    }
    return line;
}

std::vector<std::string> binary_command(Service& svc,
                                        const std::optional<std::vector<std::string>>& args) {
    std::vector<std::string> command{svc.service_binary()};
    if (args)
        command.insert(command.end(), args->begin(), args->end());
    return command;
}

bool is_regular_file(const std::string& path) {
    Foundation::ErrnoGuard keep;
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

Backend::Backend(Options options)
    : service_(std::move(options.service)),
      init_script_(std::move(options.init_script)),
      wipe_startup_log_(options.wipe_startup_log),
      executed_by_systemd_(options.this_process_was_executed_by_systemd),
      started_by_init_(options.started_by_init) {}

std::string Backend::init_script() {
    if (!init_script_)
        init_script_ = _build_init_script();
    return *init_script_;
}

std::string Backend::_build_init_script() {
    if (service_.empty())
        return {};
    return getinitfile(service_).value_or("");
}

std::optional<int> Backend::launch(Service& svc, const std::vector<std::string>& command,
                                 bool wipe) {
    Run::SafeRun::set_last_child_status(0);
    auto pid = logged_startup(
        svc.service_name(), wipe, command,
        {.wait = true, .timeout = svc.command_timeout(), .started_by_init = started_by_init_});
    if (!pid)
        return std::nullopt;
    return Run::SafeRun::last_child_status();
}

bool Backend::start(Service& svc) {
    const std::string name = svc.service_name();
    svc.debug("Starting the " + in_quotes(name) + " service.");
    std::vector<std::string> command;
    if (svc.is_tavrel_service()) {
        svc.debug("Launching the " + in_quotes(name) + " daemon.");
        const std::string pidfile = svc.pidfile();
        if (is_regular_file(pidfile))
            ::unlink(pidfile.c_str());
        Run::Env::set_safe_path();
        command = binary_command(svc, svc.startup_args());
    } else if (!init_script().empty()) {
        svc.debug("Running the init script " + in_quotes(init_script()) + " to start " +
                  in_quotes(name) + ".");
        command = {init_script(), START_ACTION};
    } else {
        svc.debug("The " + in_quotes(name) + " service has no init script: launching its program.");
        command = binary_command(svc, svc.startup_args());
    }

    const auto status = launch(svc, command, wipe_startup_log_);
    if (!status) {
        svc.warn("The " + in_quotes(name) + " service could not be started: " +
                 in_quotes(command.front()) + " is not an executable file.");
        return false;
    }
    if (*status == 0) {
        svc.debug("The " + in_quotes(name) + " service started.");
        return true;
    }
    Run::ChildErrorStringifier autopsy(*status, command.front());
    svc.warn("The " + in_quotes(name) + " service failed to start: " + join_command(command) + ": " +
             autopsy.autopsy().value_or(""));
    return false;
}

std::optional<bool> Backend::restart(Service& svc) {
    const std::string name = svc.service_name();
    std::vector<std::string> command;
    if (svc.is_tavrel_service()) {
        const std::string pidfile = svc.pidfile();
        if (is_regular_file(pidfile))
            Foundation::Autodie::unlink_if_exists(pidfile);
        Run::Env::set_safe_path();
        command = binary_command(svc, svc.restart_args());
    } else if (!init_script().empty()) {
        command = {init_script(), START_ACTION};
    } else {
        svc.warn("The " + in_quotes(name) +
                 " service has no init script and is not one of the panel's daemons: launching "
                 "its program.");
        command = binary_command(svc, svc.restart_args());
    }

    const auto status = launch(svc, command, wipe_startup_log_);
    if (!status) {
        svc.warn("The " + in_quotes(name) + " service could not be restarted: " +
                 in_quotes(command.front()) + " is not an executable file.");
        return false;
    }
    if (*status != 0)
        return false;
    svc.debug("The " + in_quotes(name) + " service restarted.");
    return true;
}

std::optional<bool> Backend::reload(Service& svc) {
    if (init_script().empty())
        return true;
    const std::string name = svc.service_name();
    const std::vector<std::string> command{init_script(), RELOAD_ACTION};
    const auto status = launch(svc, command, wipe_startup_log_);
    if (!status) {
        svc.warn("The " + in_quotes(name) + " service could not be reloaded: " +
                 in_quotes(command.front()) + " is not an executable file.");
        return false;
    }
    if (*status != 0)
        return false;
    if (svc.verbose())
        svc.info("The " + in_quotes(name) + " service reloaded.");
    return true;
}

bool Backend::stop(Service& svc) {
    const std::string name = svc.service_name();
    int stopped = 0;
    // The process the pid file names before the stop: an init script may
    // signal it and return at once, and the daemon may delete its pid file
    // before it has finished, so the stop waits for this process itself.
    // It is judged as the pid step judges it: a pid file naming this run's
    // own shell, or a pid reused by another process, is not waited for.
    const auto before = pidfile_process(svc, PidfileJudging::Quiet);

    // 1. The orderly stop command; its output goes after the start's.
    if (svc.is_tavrel_service()) {
        Run::Env::set_safe_path();
        const auto args = svc.shutdown_args();
        if (args && !args->empty()) {
            const auto status = launch(svc, binary_command(svc, args), false);
            if (status && *status == 0) {
                svc.debug("The " + in_quotes(name) + " daemon was told to stop.");
                ++stopped;
            }
        }
    } else if (!init_script().empty()) {
        const auto status = launch(svc, {init_script(), STOP_ACTION}, false);
        if (status && *status == 0) {
            svc.debug("The init script stopped " + in_quotes(name) + ".");
            ++stopped;
        }
    }

    if (stopped > 0 && before)
        wait_until_gone(*before, PIDFILE_WAIT_TIME);

    // 2. The pid file's process.
    const bool stopped_by_pid = stop_by_pidfile(svc);
    if (stopped_by_pid)
        ++stopped;

    // 3. Leftovers, by the service's process rules.
    const auto rules = svc.doomed_rules();
    if (!stopped_by_pid && !rules.empty()) {
        svc.debug("Looking for leftover processes.");
        const std::string owner = svc.processowner();
        std::vector<std::string> owners;
        if (!owner.empty())
            owners.push_back(owner);
        if (doomedprocess(rules, svc.verbose() == 2, 0, owners)) {
            if (stopped == 0)
                svc.debug("Leftover processes of " + in_quotes(name) + " were ended.");
            ++stopped;
        }
    }

    // 4. Whatever holds the service's ports.
    if (svc.end_own_listeners())
        ++stopped;

    if (stopped == 0)
        svc.info("Nothing could be confirmed as stopped for the " + in_quotes(name) + " service.");
    return true;
}

bool Backend::wait_until_gone(const Process::Kill::Target& process, double seconds) {
    return Foundation::Poll::until([&] { return !process.alive(); },
                                   {.within = seconds, .every = GONE_POLL_INTERVAL});
}

bool Backend::stop_by_pidfile(Service& svc) {
    const std::string name = svc.service_name();
    const auto judged = pidfile_process(svc, PidfileJudging::Loud);
    if (!judged)
        return false;
    const Process::Kill::Target& target = *judged;
    const pid_t pid = target.pid();

    target.send(SIGTERM);
    bool told = false;
    bool gone = Foundation::Poll::until(
        [&] {
            if (!target.alive())
                return true;
            if (!told)
                svc.debug("Waiting for process " + std::to_string(pid) + " to end.");
            told = true;
            return false;
        },
        {.within = PIDFILE_WAIT_TIME, .every = PIDFILE_POLL_INTERVAL});
    if (!gone) {
        // Still the very process that was judged above: the pidfd holds it.
        svc.warn("Process " + std::to_string(pid) + " of " + in_quotes(name) +
                 " did not end within " + std::to_string(static_cast<long>(PIDFILE_WAIT_TIME)) +
                 " seconds of SIGTERM; it gets SIGKILL.");
        target.send(SIGKILL);
        gone = wait_until_gone(target, KILL_WAIT_TIME);
    }
    target.reap();
    if (!gone)
        return false;
    svc.debug("The " + in_quotes(name) + " service was stopped by its pid file.");
    return true;
}

}  // namespace Tavrel::Init::SysV
