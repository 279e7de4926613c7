// Tavrel::Cli::run_from_options: the argument driver of a service
// object. From the run's parsed options (Tavrel/Cli/Parseargv.h) it
// sets the object's verbosity, force flag, output object (terminal, HTML or
// JSON records) and restart attempt, and calls the handler of exactly one
// verb of the table (Tavrel/Service/Verb.h): stop, restart (or start),
// reload, check or status. It reads nothing of the command line itself.
//
//   auto srv = Tavrel::Catalogue::create({{"service", "crond"}});
//   Tavrel::Cli::run_from_argv(*srv, {"--verbose", "--stop"});
//   srv->service_argv_action();   // Verb::Stop
//
// Only root may ask for a verb that changes the service (stop, restart,
// start, reload); anyone may ask for its status or check it. Any other
// caller gets Tavrel::Foundation::PlainError before the service is touched.
//
// A restart without a status text raises Services::RestartError, a failed
// reload Services::ReloadError; a failed check raises the is-down failure of
// the check itself. Every other failure of the operations passes through.
#pragma once

#include "Tavrel/Service/Verb.h"

#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace Tavrel::Service {
class Base;
}

namespace Tavrel::Cli {

struct ParsedArgv;

// The lead of the line printed for a passing check: "<lead> “crond” is running".
inline std::string CHECK_LINE_LEAD = "The service";

// Whose request this is, as the driver sees it.
inline uid_t (*effective_uid)() = ::geteuid;

void run_from_options(Tavrel::Service::Base& srv, const ParsedArgv& parsed);
// run_from_options of parse_options(args).
void run_from_argv(Tavrel::Service::Base& srv, const std::vector<std::string>& args);

// Runs the handler of `verb` (below).
void run_verb(Tavrel::Service::Verb verb, Tavrel::Service::Base& srv, const ParsedArgv& parsed);

// The handlers of the verb table: each records its verb on the service as
// its action begins and does it.
namespace Driver {
// The status text on the output object, or the is-down failure.
void status(Tavrel::Service::Base& srv, const ParsedArgv& parsed);
// One line "<CHECK_LINE_LEAD> “crond” is running[: message]" after the
// check's header when one is due, or the is-down failure.
void check(Tavrel::Service::Base& srv, const ParsedArgv& parsed);
void stop(Tavrel::Service::Base& srv, const ParsedArgv& parsed);
// Restarts a running service and starts a stopped one (the service core
// then records the start), gracefully as the options or the class say.
void restart(Tavrel::Service::Base& srv, const ParsedArgv& parsed);
// Nothing, not even the record of the verb, for a service that cannot reload.
void reload(Tavrel::Service::Base& srv, const ParsedArgv& parsed);
}  // namespace Driver

}  // namespace Tavrel::Cli
