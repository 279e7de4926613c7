// Tavrel::Cli::Main: the whole run of the zidavoveva_base program; the
// program's main() is nothing but a call to main() here.
//
//   int main(int argc, char** argv) { return Tavrel::Cli::Main::main(argc, argv); }
//
// The name the program is started under picks the service and the action:
//   zidavoveva_<word> [options]      restart (the default) or what the options say
//   start<word> [options]            the same
//   stop<word> [options]             stop (--stop is added)
//   zidavoveva_service [options] <word>   the first word that is not an option
// The command line is parsed once (Tavrel/Cli/Parseargv.h) into one
// value that the whole run reads; the bare words start, restart, stop,
// status, check and reload count as their options. A custom action of the
// service's class is asked for by its bare word or as --word.
//
// A run is parse, dispatch, report: read_command() parses; run() checks the
// name and the service word, has the service object do the verb (the verb
// table, Tavrel/Service/Verb.h, through the driver) or a custom
// action of its class, sorts a failure by its kind
// (Exception::service_failure), and reports: the status or failure block
// (Tavrel/Service/StatusDisplay.h), what the run made the service
// write (Tavrel/Service/StartupLogDisplay.h) and the closing line.
//
// A run started from a shell or a program (parent not process 1) is verbose
// unless the options say otherwise, and is recorded in the invocation log
// unless it is a check. A run started by init or systemd is quiet.
//
// Exit status: 0 success (also a service that is absent with --skip-if-absent,
// and a stop command of a unit that systemd is already stopping by signal);
// 143 when a TERM signal arrives (130, by SIGINT, for a Ctrl-C; either one
// that comes between a restart's stop and its start ends the run only once
// the start has been tried); 255 for a service failure (at verbosity 1
// the failure is shown on standard output with the status and the startup
// log); otherwise non-zero with the reason on standard error. --help prints
// the usage and exits 0.
#pragma once

#include "Tavrel/Cli/Parseargv.h"

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Service {
class Base;
}

namespace Tavrel::Cli::Main {

inline std::string BASE_PROGRAM = "zidavoveva_base";
inline std::string BASE_WORD = "base";
inline std::string GENERIC_WORD = "service";
// Invoked under a name with this word, a run that shows the status block
// also shows whether PHP-FPM runs (unless --no-fpm-status).
inline std::string FPM_PROGRAM_WORD = "apache_php_fpm";
inline int EXIT_FAILURE_STATUS = 255;

struct Invocation {
    std::string action;   // "start", "stop" or "zidavoveva_"
    std::string service;  // "" for the generic name

    // Under the generic name the service word is the first word of the
    // command line that is not an option.
    bool takes_service_from_words() const { return service.empty() || service == GENERIC_WORD; }
};

// The action and service word of an invocation path; nothing when the name
// is not one of the program's names.
std::optional<Invocation> parse_invocation_name(std::string_view path);

// A run's command line, read once.
struct Command {
    std::string program;                   // the invocation path (argv[0])
    std::optional<Invocation> invocation;  // nothing: not one of the program's names
    std::optional<ParsedArgv> options;     // nothing: the options were refused
    std::string refusal;                   // why they were
    std::vector<std::string> args;         // as given: a refused line may still ask for --json
};
// Never throws: a refused command line is kept with its refusal, which run()
// reports once the program's name has been checked. `started_by_init` (the
// parent is process 1) is decided once, by main(), and kept in the options.
Command read_command(const std::string& program, const std::vector<std::string>& args,
                     bool started_by_init);

// The service object of the run (nullptr before the factory has built it).
Tavrel::Service::Base* get_current_service();

// The custom action of the service's class that the command line asks for,
// as a bare word (flush) or as an option (--flush), the first one in that
// order; it is recorded on the service as the run's action. nullptr for none.
// A --word the class does not offer is refused (PlainError), as any unknown
// option is; a bare word is left to the unknown-word check.
const std::function<void()>* custom_action_asked(Tavrel::Service::Base& srv, const ParsedArgv& options);

// What the process needs before anything else: standard descriptors that
// are open, and the signal dispositions of Tavrel/Service/RunSignals.h: a
// closed pipe or a lost terminal never ends a run, TERM and INT end it at
// once except between a restart's stop and its start.
void prepare_process();
// Start-up (prepare_process, invocation log, argument store), then run().
int main(int argc, char** argv);
// The run driver; never throws: failures that leave it are written on
// standard error and give EXIT_FAILURE_STATUS.
int run(const Command& command);
// run(read_command(program, args, started_by_init)): a run as tests start it.
int run(const std::string& program, std::vector<std::string> args, bool started_by_init = false);

}  // namespace Tavrel::Cli::Main
