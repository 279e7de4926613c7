// Tavrel::ServiceManager::run_from_options: the argument driver of a service
// object. From the run's parsed options (Tavrel/ZidavovEva/Parseargv.h) it
// sets the object's verbosity, force flag, output object (terminal, HTML or
// JSON records) and action, and performs exactly one of stop, restart,
// reload, check or status. It reads nothing of the command line itself.
//
//   auto srv = Tavrel::ServiceManager::create({{"service", "crond"}});
//   Tavrel::ServiceManager::run_from_argv(*srv, {"--verbose", "--stop"});
//   srv->service_argv_action();   // "STOP"
//
// Only root may stop, restart or reload a service; anyone may ask for its
// status or check it. Any other caller gets Tavrel::PlainError before the
// service is touched.
//
// A restart without a status text raises Services::RestartError, a failed
// reload Services::ReloadError; a failed check raises the is-down failure of
// the check itself. Every other failure of the operations passes through.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace Tavrel::ZidavovEva {
struct ParsedArgv;
}

namespace Tavrel::ServiceManager {

class Base;

// The lead of the line printed for a passing check: "<lead> “crond” is running".
inline std::string CHECK_LINE_LEAD = "The service";

// Whose request this is, as the driver sees it.
inline uid_t (*effective_uid)() = ::geteuid;

void run_from_options(Base& srv, const ZidavovEva::ParsedArgv& parsed);
// run_from_options of parse_options(args).
void run_from_argv(Base& srv, const std::vector<std::string>& args);

}  // namespace Tavrel::ServiceManager
