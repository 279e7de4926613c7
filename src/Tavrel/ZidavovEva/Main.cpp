#include "Tavrel/ZidavovEva/Main.h"

#include "Tavrel/Exception.h"
#include "Tavrel/FHUtils/Tiny.h"
#include "Tavrel/Logger.h"
#include "Tavrel/Output.h"
#include "Tavrel/PlainError.h"
#include "Tavrel/Proc/PID.h"
#include "Tavrel/PwDiskCache.h"
#include "Tavrel/Regex.h"
#include "Tavrel/ServiceManager.h"
#include "Tavrel/ServiceManager/Base.h"
#include "Tavrel/ServiceManager/Driver.h"
#include "Tavrel/Services/Env.h"
#include "Tavrel/Services/Log.h"
#include "Tavrel/Terminal.h"
#include "Tavrel/ZidavovEva/Argv.h"
#include "Tavrel/ZidavovEva/HasProc.h"
#include "Tavrel/ZidavovEva/Help.h"
#include "Tavrel/ZidavovEva/InvocationLog.h"
#include "Tavrel/ZidavovEva/RunSignals.h"
#include "Tavrel/ZidavovEva/Systemd.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

namespace Tavrel::ZidavovEva::Main {

namespace {

std::unique_ptr<ServiceManager::Base>& current() {
    static std::unique_ptr<ServiceManager::Base> srv;
    return srv;
}

// Writes on standard error; a closed standard error is no reason to fail.
void to_stderr(const std::string& text) {
    std::string line = text;
    if (line.empty() || line.back() != '\n')
        line += '\n';
    (void)!::write(STDERR_FILENO, line.data(), line.size());
}

// A failure that leaves run(): its text goes to standard error.
struct Fatal {
    std::string text;
};

// The run is over with this status, nothing failed.
struct Done {
    int status;
};

bool any_equals(const std::vector<std::string>& args, std::string_view word) {
    return std::find(args.begin(), args.end(), word) != args.end();
}

bool any_contains(const std::vector<std::string>& args, std::string_view word) {
    return std::any_of(args.begin(), args.end(),
                       [&](const std::string& a) { return a.find(word) != std::string::npos; });
}

std::string basename_of(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string usage_hint() {
    return "Run it as zidavoveva_<service>, start<service>, stop<service> or "
           "zidavoveva_service <service>.";
}

// The first argument that is not an option (nor an option's separate value).
std::string first_word(const std::vector<std::string>& args) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") {
            return i + 1 < args.size() ? args[i + 1] : std::string();
        }
        if (a == "--restart-attempt" || a == "--systemd-service") {
            ++i;
            continue;
        }
        if (!a.empty() && a[0] != '-')
            return a;
    }
    return {};
}

// Ends the run with 0 when systemd itself is stopping the unit whose stop
// command this is, and has already signalled the daemon.
void exit_if_triggered_by_systemd_term_or_kill_signal(const std::vector<std::string>& args) {
    std::string unit;
    for (const auto& a : args) {
        if (auto at = a.find(SYSTEMD_SERVICE_OPTION); at != std::string::npos) {
            unit = a.substr(at + SYSTEMD_SERVICE_OPTION.size());
            break;
        }
    }
    if (unit.empty() || !any_contains(args, "--stop") || !_parent_is_systemd())
        return;
    auto [state, code, signal] = Systemd::get_code_and_signal_via_systemd(unit);
    if (state == "deactivating" && code == "killed" && (signal == "TERM" || signal == "KILL")) {
        Logger::create()->warn("systemd is already stopping “" + unit + "” (its main process got SIG" +
                               *signal + "); nothing is left to do.");
        throw Done{0};
    }
}

std::string past_tense(const std::string& action) {
    if (action == "START")
        return "started";
    if (action == "STOP")
        return "stopped";
    if (action == "RESTART")
        return "restarted";
    if (action == "RELOAD")
        return "reloaded";
    return {};
}

std::string verb_of(const std::string& action) {
    std::string verb = action;
    std::transform(verb.begin(), verb.end(), verb.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return verb;
}

void show_status_block(ServiceManager::Base& srv) {
    std::string status = srv.service_status();
    if (status.empty())
        status = NO_STATUS_PHRASE + " " + srv.class_name() + ".";
    srv.output_obj().display_message_set(STATUS_TITLE, status);
}

bool show_fpm_status(ServiceManager::Base& srv, const std::string& program) {
    if (program.find(FPM_PROGRAM_WORD) == std::string::npos)
        return false;
    (void)srv.status();  // raises the is-down failure when it is down
    srv.output("PHP-FPM is running.");
    return true;
}

void show_startup_log_for_srv(ServiceManager::Base& srv) {
    std::optional<ServiceManager::Manager::UnitProperties> unit;
    unit = srv.service_manager().service_via_systemd();
    auto [ok, text] = Services::Log::fetch_service_startup_log(srv.service_name(), unit);
    if (ok && !text.empty())
        srv.output_obj().display_message_set(Services::Log::STARTUP_LOG_HEADER, text);
}

int run_or_throw(const std::string& program, std::vector<std::string> args) {
    PwDiskCache::enable();
    Terminal::note_colour_wish();  // NO_COLOR goes with the cleaning below
    Services::Env::setup_env_for_starting_a_daemon();
    RunSignals::install();

    if (basename_of(program) == BASE_PROGRAM)
        throw Fatal{BASE_PROGRAM + " must be run under a service name. " + usage_hint()};
    auto invocation = parse_invocation_name(program);
    if (!invocation)
        throw Fatal{program + ": this is not a name of the service control program. " +
                    usage_hint()};
    std::string service = invocation->service;
    if ((service.empty() || service == GENERIC_WORD) && !args.empty())
        service = first_word(args);

    for (const auto& word : HELP_WORDS) {
        if (any_equals(args, word))
            return Help::usage(service == GENERIC_WORD ? std::string() : service);
    }

    // A bare action word counts as its option, as administrators type it
    // after `service NAME`. Without this, `zidavoveva_crond status` was a
    // restart: a production daemon restarted by someone asking how it is.
    static const Regex action_word(R"(^((?:re)?start|stop|status|check|reload)$)");
    const std::size_t given = args.size();
    for (std::size_t i = 0; i < given; ++i) {
        if (action_word.test(args[i]))
            args.push_back("--" + args[i]);
    }
    if (invocation->action == "stop")
        args.emplace_back("--stop");
    _set_argv(args);

    exit_if_triggered_by_systemd_term_or_kill_signal(args);

    if (service.empty() || service == GENERIC_WORD)
        throw Fatal{"No service was given. Usage: zidavoveva_service [options] <service>"};
    if (action_word.test(service))
        throw Fatal{"“" + service + "” is an action, not a service. " + usage_hint()};
    if (service == BASE_WORD)
        throw Fatal{BASE_PROGRAM + " must be run under a service name. " + usage_hint()};
    // Every answer about a daemon's processes comes from the process file
    // system. Without it a running daemon looks stopped: a restart would
    // start a second copy and a stop would report success while it runs.
    if (!_has_proc())
        throw Fatal{"The process file system is not mounted on " + Proc::PROC_PATH +
                    ", so no process of “" + service +
                    "” can be seen; nothing was done. Mount it (mount -t proc proc /proc) and "
                    "run again."};

    const bool parent_is_init = _parent_is_systemd();
    auto& srv = current();
    std::optional<Exception> caught;
    try {
        srv = ServiceManager::create({{"service", service}});

        static const Regex action_arg(R"(^(?:--)?([a-z]+)$)");
        const ServiceManager::Base::Action* custom = nullptr;
        for (const auto& a : args) {
            auto m = action_arg.match(a);
            if (!m)
                continue;
            std::string word((*m)[1]);
            if ((custom = srv->custom_action(word))) {
                srv->set_service_argv_action(word);
                break;
            }
        }
        if (custom) {
            (*custom)();
        } else {
            std::vector<std::string> driver_args;
            if (!parent_is_init)
                driver_args.push_back(INTERACTIVE_OPTION);
            driver_args.insert(driver_args.end(), args.begin(), args.end());
            ServiceManager::run_from_argv(*srv, driver_args);
        }
        static const Regex shows_status(R"(^(RESTART|START|RELOAD)$)");
        if (srv->verbose() == 1 && shows_status.test(srv->service_argv_action())) {
            show_status_block(*srv);
            if (!any_contains(args, STATUS_SUPPRESSION))
                show_fpm_status(*srv, program);
        }
    } catch (const Exception& e) {
        caught = e;
        static const Regex service_family(R"(^Tavrel::Exception::Services?::)");
        static const Regex absent(R"(^Tavrel::Exception::Services::(?:NotConfigured|NotInstalled)$)");
        static const Regex quiet_failures(
            R"(^Tavrel::Exception::Services::(NotConfigured|Disabled|NotInstalled)$)");
        static const Regex check_or_status(R"(^(CHECK|STATUS)$)");
        if (!e.class_matches(service_family))
            throw;
        // An unknown service is a usage mistake, not an incident worth an id.
        if (e.isa("Services::Unknown"))
            throw Fatal{e.to_string_no_id()};
        if (srv && e.class_matches(absent) && any_equals(args, SKIP_IF_ABSENT)) {
            to_stderr(e.to_string());
            return 0;
        }
        if (srv && srv->verbose() == 1 && !check_or_status.test(srv->service_argv_action()) &&
            !e.class_matches(quiet_failures)) {
            srv->output(e.class_name());
            show_status_block(*srv);
            srv->output_obj().display_message_set(ERROR_TITLE, e.to_string());
        } else {
            throw Fatal{e.to_string()};
        }
    }

    static const Regex check_or_status(R"(^(CHECK|STATUS)$)");
    const std::string action = srv->service_argv_action();
    if (srv->verbose() == 1 && !check_or_status.test(action))
        show_startup_log_for_srv(*srv);
    if (!caught && srv->verbose() == 1) {
        if (std::string done = past_tense(action); !done.empty())
            srv->output_obj().success("The service “" + srv->service() + "” was " + done + ".");
    }
    if (caught) {
        if (srv->verbose() == 1) {
            std::string verb = action.empty() ? std::string("control") : verb_of(action);
            srv->output_obj().error("The system failed to " + verb + " the service “" +
                                    srv->service() + "”.");
        }
        return EXIT_FAILURE_STATUS;
    }
    return 0;
}

}  // namespace

std::optional<Invocation> parse_invocation_name(std::string_view path) {
    // \z, not $: "$" also matches before a final newline, and
    // "zidavoveva_crond\n" is not one of the program's names.
    static const Regex name(R"((?:^|/)(start|stop|zidavoveva_)(\w+)\z)");
    auto m = name.match(path);
    if (!m)
        return std::nullopt;
    Invocation inv{std::string((*m)[1]), std::string((*m)[2])};
    return inv;
}

ServiceManager::Base* get_current_service() { return current().get(); }

bool _parent_is_systemd() { return ::getppid() == 1; }

int run(const std::string& program, std::vector<std::string> args) {
    int status = EXIT_FAILURE_STATUS;
    try {
        status = run_or_throw(program, std::move(args));
    } catch (const Done& d) {
        status = d.status;
    } catch (const Fatal& f) {
        to_stderr(f.text);
    } catch (const Exception& e) {
        to_stderr(e.to_string());
    } catch (const std::exception& e) {
        to_stderr(e.what());
    }
    // The object goes here, in the process that built it: its lock is released.
    current().reset();
    return status;
}

void prepare_process() {
    // Before any file is opened: a caller that closed standard output would
    // otherwise have this run's output written into its lock file.
    FHUtils::Tiny::fill_standard_descriptors();
    // Neither a closed pipe, nor a terminal that hangs up, nor a TERM or a
    // Ctrl-C between a service's stop and its start may leave it down.
    RunSignals::install();
}

int main(int argc, char** argv) {
    prepare_process();
    const std::string program = argc > 0 && argv[0] ? argv[0] : "";
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    const pid_t ppid = ::getppid();
    if (ppid > 1 && !any_contains(args, CHECK_KEYWORD))
        InvocationLog::record(program, args, ppid);
    _set_argv(args);
    return run(program, std::move(args));
}

}  // namespace Tavrel::ZidavovEva::Main
