// Tavrel::Init::Service: what an init-system backend and the
// restart helpers read from the service they act on.
//
// Tavrel::Service::Base (the common service class) implements it; a
// backend never needs more than this, so backends are unit-tested with a
// small service object of the test's own.
//
//   bool Initd::start(Service& svc) {
//       svc.debug("Starting " + svc.service_name());
//       ... svc.startup_args() ...
//   }
//
// Every accessor is lazy on the implementing side and may be called often.
// An empty string or an empty optional means "not set".
#pragma once

#include "Tavrel/Init/SysV/Startup.h"

#include <optional>
#include <string>
#include <vector>

namespace Tavrel::Init {

class Service {
  public:
    virtual ~Service() = default;

    // The service word (lower case), and the name used for the backend,
    // status checks, logs and messages (the override when one is set).
    virtual std::string service() = 0;
    virtual std::string service_name() = 0;

    // One of the panel's own daemons: launched through service_binary with
    // startup_args/shutdown_args rather than an init script.
    virtual bool is_tavrel_service() = 0;
    virtual std::string service_binary() = 0;
    virtual std::optional<std::vector<std::string>> startup_args() = 0;
    virtual std::optional<std::vector<std::string>> restart_args() = 0;
    virtual std::optional<std::vector<std::string>> shutdown_args() = 0;

    virtual std::string pidfile() = 0;
    // Pattern (unanchored, Perl-compatible) the executable of the pid-file
    // process must match; empty when the service declares none.
    virtual std::string pid_exe() = 0;
    // Process-name rules of orphans to kill; empty when none.
    virtual std::vector<std::string> doomed_rules() = 0;
    // Account the service's processes run as; empty when any.
    virtual std::string processowner() = 0;
    // Pattern for the service's processes by command line; empty when none.
    virtual std::string command_line_regex() = 0;

    // Seconds a command of the service that is waited for (an init script's
    // action, the program's own stop command) may run before it is ended.
    virtual double command_timeout() { return SysV::DEFAULT_COMMAND_TIMEOUT; }
    // The command_timeout an administrator gave the service (in its
    // definition); nullopt when it has only the default or its class's.
    // Under systemd it replaces the bound drawn from the unit's time-outs.
    virtual std::optional<double> given_command_timeout() { return std::nullopt; }

    // 0 quiet, 1 progress and summaries, 2 debug.
    virtual int verbose() = 0;
    virtual bool is_debug_enabled() { return verbose() >= 2; }
    // The service runs as one main process.
    virtual bool has_single_pid() = 0;

    // Ends the service's own processes that still listen on its ports (the
    // last step of a stop; another account's listener is never the
    // service's); true when any were ended.
    virtual bool end_own_listeners() = 0;

    // Messages: debug lines are timed at verbosity 2; info and warn go to the
    // logger.
    virtual void debug(const std::string& message) = 0;
    virtual void info(const std::string& message) = 0;
    virtual void warn(const std::string& message) = 0;
};

}  // namespace Tavrel::Init
