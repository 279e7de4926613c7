#include "Tavrel/Cli/Main.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/Fd/Query.h"
#include "Tavrel/Foundation/Logger.h"
#include "Tavrel/Output/Base.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Process/Proc/PID.h"
#include "Tavrel/Config/PwDiskCache.h"
#include "Tavrel/Foundation/Regex.h"
#include "Tavrel/Catalogue/Factory.h"
#include "Tavrel/Catalogue/Registry.h"
#include "Tavrel/Service/Base.h"
#include "Tavrel/Cli/Driver.h"
#include "Tavrel/Service/StatusDisplay.h"
#include "Tavrel/Service/Verb.h"
#include "Tavrel/Run/ServiceEnv.h"
#include "Tavrel/Init/Log.h"
#include "Tavrel/Output/ColorSupport.h"
#include "Tavrel/Process/Proc/HasProc.h"
#include "Tavrel/Cli/Help.h"
#include "Tavrel/Cli/History.h"
#include "Tavrel/Cli/History/Show.h"
#include "Tavrel/Cli/InvocationLog.h"
#include "Tavrel/Cli/Parseargv.h"
#include "Tavrel/Cli/ResultRecord.h"
#include "Tavrel/Cli/ServiceList.h"
#include "Tavrel/Cli/OutputObject.h"
#include "Tavrel/Service/RunSignals.h"
#include "Tavrel/Service/StartupLogDisplay.h"
#include "Tavrel/Init/Questions.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

namespace Tavrel::Cli::Main {

namespace {

std::unique_ptr<Tavrel::Service::Base>& current() {
    static std::unique_ptr<Tavrel::Service::Base> srv;
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

// The run is over with this status, nothing failed; nothing was done, for
// this reason.
struct Done {
    int status;
    std::string reason;
};

std::string basename_of(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string usage_hint() {
    return "Run it as zidavoveva_<service>, start<service>, stop<service> or "
           "zidavoveva_service <service>.";
}

// Ends the run with 0 when systemd itself is stopping the unit whose stop
// command this is, and has already signalled the daemon.
void exit_if_triggered_by_systemd_term_or_kill_signal(const ParsedArgv& options) {
    const std::string& unit = options.systemd_service;
    if (unit.empty() || options.verb != Tavrel::Service::Verb::Stop || !options.run.started_by_init)
        return;
    if (const auto signal = Init::stopping_signal_of(unit)) {
        const std::string said = "systemd is already stopping “" + unit + "” (its main process got SIG" +
                                 *signal + "); nothing is left to do.";
        Foundation::Logger::create()->warn(said);
        throw Done{0, said};
    }
}

// The row of the verb the run's action began as; nullptr before an action
// and for a custom action.
const Tavrel::Service::VerbRow* verb_taken(Tavrel::Service::Base& srv) {
    const auto verb = srv.service_argv_action();
    return verb ? &Tavrel::Service::row_of(*verb) : nullptr;
}

// The action's name in the closing line of a failure.
std::string action_word(Tavrel::Service::Base& srv) {
    if (const auto* verb = verb_taken(srv))
        return std::string(verb->word);
    std::string word = srv.custom_action_taken();
    if (word.empty())
        return "control";
    std::transform(word.begin(), word.end(), word.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return word;
}

// What every run sets up before it looks at what it is asked.
void prepare_run() {
    Init::Log::RUN_START = std::chrono::system_clock::now();
    Config::PwDiskCache::enable();
    Output::ColorSupport::note_colour_wish();  // NO_COLOR goes with the cleaning below
    Run::ServiceEnv::setup_env_for_starting_a_daemon();
    Tavrel::Service::RunSignals::install();
}

// The options of a command line under one of the program's names, or the
// reason to refuse it.
const ParsedArgv& accepted_options(const Command& command) {
    const std::string& program = command.program;
    if (basename_of(program) == BASE_PROGRAM)
        throw Fatal{BASE_PROGRAM + " must be run under a service name. " + usage_hint()};
    if (!command.invocation)
        throw Fatal{program + ": this is not a name of the service control program. " +
                    usage_hint()};
    if (!command.options)
        throw Fatal{command.refusal};
    return *command.options;
}

// The service word of the program's name; under the generic name, the first
// word that is not an option.
std::string service_word(const Command& command, const ParsedArgv& options) {
    std::string service = command.invocation->service;
    if (command.invocation->takes_service_from_words() && !options.words.empty())
        service = options.words.front();
    return service;
}

// Every answer about a daemon's processes comes from the process file
// system. Without it a running daemon looks stopped: a restart would start a
// second copy, a stop would report success while it runs, and a listing
// would show every service down.
void refuse_without_proc(const std::string& whose) {
    if (!Process::Proc::_has_proc())
        throw Fatal{"The process file system is not mounted on " + Foundation::ProcFs::PROC_PATH +
                    ", so no process of " + whose +
                    " can be seen; nothing was done. Mount it (mount -t proc proc /proc) and "
                    "run again."};
}

// Refuses a word that names no service, and a run that could not see the
// service's processes, before anything is looked at.
void refuse_unusable_service(const std::string& service) {
    if (service.empty() || service == GENERIC_WORD)
        throw Fatal{"No service was given. Usage: zidavoveva_service [options] <service>"};
    if (is_action_word(service))
        throw Fatal{"“" + service + "” is an action, not a service. " + usage_hint()};
    if (service == BASE_WORD)
        throw Fatal{BASE_PROGRAM + " must be run under a service name. " + usage_hint()};
    refuse_without_proc("“" + service + "”");
}

// --list: every known service, under the generic name only. A service word
// beside it would read as "list this one" and be ignored, so it is refused.
int list_services(const std::string& service, const ParsedArgv& options) {
    if (!service.empty() && service != GENERIC_WORD)
        throw Fatal{"--list lists every service this server knows and takes no service (“" + service +
                    "”). Run zidavoveva_service --list."};
    refuse_without_proc("any service");
    auto out = output_object_for(options);
    const std::string format = options.format.value_or(ServiceList::FORMAT_TABLE);
    if (format == ServiceList::FORMAT_PROMETHEUS) {
        if (options.json || options.html)
            throw Fatal{"--format=prometheus writes the listing as metrics; it takes neither --json nor --html."};
        return ServiceList::show_metrics(*out, options.run, options.verbose == 2 ? 2 : 0);
    }
    if (format != ServiceList::FORMAT_TABLE)
        throw Fatal{"The listing has no format “" + format + "”: " + ServiceList::FORMAT_TABLE + " or " +
                    ServiceList::FORMAT_PROMETHEUS + "."};
    return ServiceList::show(*out, options.json, options.run, options.verbose == 2 ? 2 : 0);
}

// --history: the last runs that acted on services, of one service when a
// word names it. The file is root's, and so is the question.
int show_history(const std::string& service, const ParsedArgv& options) {
    if (options.list)
        throw Fatal{"--history and --list are two questions; ask one at a time."};
    if (::geteuid() != 0)
        throw Fatal{"The history of runs is root's to read (" + History::FILE + " is 0600); run it as root."};
    History::Show::Query query;
    if (!service.empty() && service != GENERIC_WORD)
        query.service = service;
    if (options.limit) {
        const auto limit = History::Show::parse_limit(*options.limit);
        if (!limit)
            throw Fatal{"--limit takes a number of runs from 1 to " + std::to_string(History::Show::MAX_LIMIT) +
                        ", not “" + *options.limit + "”."};
        query.limit = *limit;
    }
    if (options.since) {
        query.since = History::Show::parse_since(*options.since);
        if (!query.since)
            throw Fatal{"--since takes a date (2026-12-11) or a date and a time (\"2026-12-11 03:00\"), not “" +
                        *options.since + "”."};
    }
    return History::Show::show(*output_object_for(options), options.json, query);
}

// A word of the command line that is neither the service word, an action
// word, "html" nor an action of the service's class is a slip of the
// keyboard ("zidavoveva_crond stauts"): it is refused before anything is
// done, never taken for the default action, a restart.
void refuse_unknown_words(Tavrel::Service::Base& srv, const Command& command, const ParsedArgv& options) {
    std::vector<std::string> words = options.words;
    if (command.invocation->takes_service_from_words() && !words.empty())
        words.erase(words.begin());  // the service word
    for (const std::string& word : words) {
        if (is_action_word(word) || word == HTML_WORD || srv.custom_action(word))
            continue;
        throw Fatal{"Unknown word “" + word + "”: it is no action (" + action_words() +
                    ") and no service word here. Nothing was done. Run with --help to see the "
                    "options."};
    }
}

// Does to the service what the command line asks: a custom action of its
// class, or the verb; then, at verbosity 1, shows its status when the verb
// says so.
void dispatch(Tavrel::Service::Base& srv, const ParsedArgv& options, const std::string& program) {
    // Before anything is done to it: afterwards only what this run added to
    // its logs is shown. A check or a status shows no logs, so it skips the
    // look-up (the database's log path means reading its option files on
    // every monitor run).
    if (!Tavrel::Service::row_of(options.verb).question)
        Tavrel::Service::StartupLogDisplay::mark_run_start(srv);
    if (const auto* custom = custom_action_asked(srv, options)) {
        if (options.run.dry_run)
            throw Foundation::PlainError("A dry run covers a start, stop, restart or reload, not the action “" +
                                         srv.custom_action_taken() + "”; nothing was done.");
        (*custom)();
    } else
        run_from_options(srv, options);

    // A run that found nothing to do has no new status to show: its one
    // line says why.
    const auto* verb = verb_taken(srv);
    // A plan is its own answer; the status is as it was.
    if (options.run.dry_run)
        return;
    if (srv.verbose() == 1 && verb && verb->shows_status && srv.nothing_done().empty()) {
        Tavrel::Service::StatusDisplay::show_status(srv);
        if (options.fpm_status && program.find(FPM_PROGRAM_WORD) != std::string::npos)
            Tavrel::Service::StatusDisplay::show_fpm_status(srv);
    }
}

// A failure of the service, sorted by its kind. An unknown service, and a
// failure a run shows no status for, end the run with the failure's text on
// standard error (Fatal); an absent service with --skip-if-absent ends it
// with 0, which is returned. Any other failure is shown with the service's
// status at verbosity 1 and left to report().
std::optional<int> sort_service_failure(Tavrel::Service::Base* srv, const Foundation::Exception& e,
                                        const ParsedArgv& options) {
    using Kind = Foundation::Exception::ServiceFailure;
    const Kind kind = e.service_failure();
    // An unknown service is a usage mistake, not an incident worth an id.
    if (kind == Kind::Unknown)
        throw Fatal{e.to_string_no_id()};
    if (srv && kind == Kind::Absent && options.skip_if_absent) {
        to_stderr(e.to_string());
        return 0;
    }
    // A question's failure is its answer; a disabled or absent service is
    // said in one line.
    const auto* verb = srv ? verb_taken(*srv) : nullptr;
    if (!srv || srv->verbose() != 1 || (verb && verb->question) || kind != Kind::Failed)
        throw Fatal{e.to_string()};
    Tavrel::Service::StatusDisplay::show_failure(*srv, e);
    return std::nullopt;
}

// The end of a dry run: whether the action would go ahead. Nothing was done
// either way.
int report_plan(Tavrel::Service::Base& srv, bool failed) {
    const std::string action = "the " + action_word(srv) + " of “" + srv.service() + "”";
    if (srv.verbose() == 1 && !failed && srv.nothing_done().empty())
        srv.output_obj().success("Dry run: " + action + " would go ahead. Nothing was done.");
    else if (srv.verbose() == 1 && !failed)
        srv.output_obj().info("Dry run: " + srv.nothing_done());
    else if (srv.verbose() == 1)
        srv.output_obj().error("Dry run: " + action + " would fail. Nothing was done.");
    return failed ? EXIT_FAILURE_STATUS : 0;
}

// The end of a run that reached its service: at verbosity 1 what the run
// made the service write (after anything but a question) and the closing
// line; the exit status.
int report(Tavrel::Service::Base& srv, bool failed) {
    const auto* verb = verb_taken(srv);
    if (srv.run_options().dry_run)
        return report_plan(srv, failed);
    if (srv.verbose() == 1 && !(verb && verb->question))
        Tavrel::Service::StartupLogDisplay::show(srv);
    if (!failed && srv.verbose() == 1 && !srv.nothing_done().empty()) {
        srv.output_obj().info(srv.nothing_done());
    } else if (!failed && srv.verbose() == 1 && verb && !verb->past_tense.empty()) {
        srv.output_obj().success("The service “" + srv.service() + "” was " +
                                 std::string(verb->past_tense) + ".");
    }
    if (!failed)
        return 0;
    if (srv.verbose() == 1) {
        srv.output_obj().error("The system failed to " + action_word(srv) + " the service “" +
                               srv.service() + "”.");
    }
    return EXIT_FAILURE_STATUS;
}

// The run: parse (the command line was read by read_command), dispatch,
// report.
int run_or_throw(const Command& command, ResultRecord::Run& result, History::Run& history) {
    prepare_run();
    const ParsedArgv& options = accepted_options(command);
    const std::string service = service_word(command, options);
    if (options.help)
        return Help::usage(*output_object_for(options),
                           service == GENERIC_WORD ? std::string() : service);
    if (options.run.dry_run && (options.history || options.list))
        throw Fatal{"--dry-run goes with a start, stop, restart or reload, not with --list or --history."};
    if (options.history)
        return show_history(service, options);
    if (options.list)
        return list_services(service, options);
    if (options.format)
        throw Fatal{"--format=" + *options.format + " is the format of a listing; it goes with --list."};
    if (options.limit || options.since)
        throw Fatal{std::string(options.limit ? "--limit" : "--since") +
                    " chooses the runs the history shows; it goes with --history."};
    if (options.run.dry_run && Tavrel::Service::row_of(options.verb).question)
        throw Fatal{"--dry-run says what a start, stop, restart or reload would do; a " +
                    std::string(Tavrel::Service::row_of(options.verb).word) + " changes nothing anyway."};
    // A dry run writes no file, its error log's neither: what it would log
    // goes to standard error.
    if (options.run.dry_run)
        Foundation::Logger::ALWAYS_OUTPUT_TO_STDERR = true;
    exit_if_triggered_by_systemd_term_or_kill_signal(options);
    refuse_unusable_service(service);

    auto& srv = current();
    bool failed = false;
    try {
        srv = Catalogue::create({{"service", service}}, options.run);
        refuse_unknown_words(*srv, command, options);
        history.look_before(*srv);
        dispatch(*srv, options, command.program);
    } catch (const Foundation::Exception& e) {
        result.failed(e);
        // A fault of the system, not of the service: its text on standard error.
        if (e.service_failure() == Foundation::Exception::ServiceFailure::None)
            throw;
        if (auto status = sort_service_failure(srv.get(), e, options)) {
            result.nothing_done(e.to_string_no_id());
            return *status;
        }
        failed = true;
    }
    return report(*srv, failed);
}

}  // namespace

std::optional<Invocation> parse_invocation_name(std::string_view path) {
    // \z, not $: "$" also matches before a final newline, and
    // "zidavoveva_crond\n" is not one of the program's names.
    // The characters of a service word (exim-altport, pure-ftpd), a word
    // character first.
    static const Foundation::Regex name(R"((?:^|/)(start|stop|zidavoveva_)(\w[\w.@-]*)\z)");
    auto m = name.match(path);
    if (!m)
        return std::nullopt;
    Invocation inv{std::string((*m)[1]), std::string((*m)[2])};
    return inv;
}

Tavrel::Service::Base* get_current_service() { return current().get(); }

const std::function<void()>* custom_action_asked(Tavrel::Service::Base& srv, const ParsedArgv& options) {
    // The parser let --word through only because some class offers it.
    for (const auto& word : options.custom_options) {
        if (!srv.custom_action(word))
            throw Foundation::PlainError("Unknown option “--" + word + "”: the service “" + srv.service() +
                                         "” has no action of that name. Nothing was done. Run with "
                                         "--help to see the options.");
    }
    static const Foundation::Regex action_word(R"(^[a-z]+$)");
    std::vector<std::string> asked;
    for (const auto& word : options.words) {
        if (action_word.test(word))
            asked.push_back(word);
    }
    asked.insert(asked.end(), options.custom_options.begin(), options.custom_options.end());
    for (const auto& word : asked) {
        if (const auto* custom = srv.custom_action(word)) {
            srv.set_custom_action_taken(word);
            return custom;
        }
    }
    return nullptr;
}

Command read_command(const std::string& program, const std::vector<std::string>& args,
                     bool started_by_init) {
    Command command{program, parse_invocation_name(program), std::nullopt, {}, args};
    // A run from a shell or a program is verbose unless its options say
    // otherwise; a stop<word> name stops whatever the options say.
    const Implied implied{.verbose = started_by_init ? 0 : 1,
                          .stop = command.invocation && command.invocation->action == "stop",
                          .started_by_init = started_by_init,
                          .custom_action = Catalogue::Registry::offers_custom_action};
    try {
        command.options = parse_options(args, implied);
    } catch (const Foundation::PlainError& e) {
        command.refusal = e.what();
    }
    return command;
}

int run(const Command& command) {
    // Before the run cleans the environment: the caller's SSH session is in it.
    History::Run history(command);
    ResultRecord::Run result(command);
    int status = EXIT_FAILURE_STATUS;
    try {
        status = run_or_throw(command, result, history);
    } catch (const Done& d) {
        status = d.status;
        result.nothing_done(d.reason);
    } catch (const Fatal& f) {
        to_stderr(f.text);
        result.failed(f.text);
    } catch (const Foundation::Exception& e) {
        to_stderr(e.to_string());
        result.failed(e);
    } catch (const std::exception& e) {
        to_stderr(e.what());
        result.failed(std::string(e.what()));
    }
    result.look_at(current().get(), history.due());
    // The object goes here, in the process that built it: its lock is released.
    current().reset();
    // Last: after whatever the object's end wrote. From here a TERM or INT
    // would only give an exit status that the record contradicts.
    Tavrel::Service::RunSignals::work_is_over();
    history.write(result.facts(), status);
    result.finish(status);
    return status;
}

int run(const std::string& program, std::vector<std::string> args, bool started_by_init) {
    return run(read_command(program, args, started_by_init));
}

void prepare_process() {
    // Before any file is opened: a caller that closed standard output would
    // otherwise have this run's output written into its lock file.
    Foundation::Fd::Query::fill_standard_descriptors();
    // Neither a closed pipe, nor a terminal that hangs up, nor a TERM or a
    // Ctrl-C between a service's stop and its start may leave it down.
    Tavrel::Service::RunSignals::install();
}

int main(int argc, char** argv) {
    prepare_process();
    const std::string program = argc > 0 && argv[0] ? argv[0] : "";
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    // The one look at the parent: whether init started the run goes into
    // the options, and everything after reads it there.
    const pid_t ppid = ::getppid();
    const Command command = read_command(program, args, ppid == 1);
    // Checks run often (a monitor's every minute) and change nothing: they
    // are not recorded, nor are listings, looks at the history and dry runs. A command
    // line that was refused is. A parent outside the process's namespace
    // (pid 0) has no command line to record.
    if (ppid > 1 && !(command.options && (command.options->verb == Tavrel::Service::Verb::Check ||
                                           command.options->list || command.options->history ||
                                           command.options->run.dry_run)))
        InvocationLog::record(program, args, ppid);
    return run(command);
}

}  // namespace Tavrel::Cli::Main
