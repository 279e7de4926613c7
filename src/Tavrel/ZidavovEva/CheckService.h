// Tavrel::ZidavovEva::check_service: the one-line "running" status text of
// a service, from its systemd unit, its pid file or a known pid, confirmed
// through /proc. An empty text means the service is not running. It never
// throws for a missing or foreign process.
//
//   CheckServiceOptions o;
//   o.service = "crond"; o.user = "root"; o.pidfile = "/run/crond.pid";
//   std::string status = Tavrel::ZidavovEva::check_service(o);
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace Tavrel::ZidavovEva {

struct CheckServiceOptions {
    std::string service;       // service or unit name; also the command-line pattern
    std::string user;          // expected owner of the process
    std::string pidfile;
    std::optional<pid_t> pid;  // a known pid: skips systemd and the pid file
    std::string check_method;  // how pid was found; part of the status text
    bool ignore_systemd = false;
    std::string command_line_regex;  // passed on to the generic process-table check
};

std::string check_service(const CheckServiceOptions& options);

}  // namespace Tavrel::ZidavovEva
