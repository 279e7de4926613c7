// Tavrel::Services: the process-table check of a service, the last resort of
// Tavrel::Init::check_service when neither systemd nor a pid file names
// the service's process.
//
//   Tavrel::Process::ServiceCheck::CheckOptions o;
//   o.service = "crond"; o.user = "root";
//   std::string status = Tavrel::Process::ServiceCheck::check_service(o);   // "" when not running
//
// A process belongs to the service when its command line matches
// `command_line_regex` (when given) or its program is named `service`, it is
// owned by `user` (when given), it is not a zombie, not this process or one
// of its ancestors, and not a command that merely mentions the service
// (Tavrel::Process::ServiceCheck::IgnoredCommands). The status line names the first such process
// whose parent is not itself one of them (the service's main process).
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace Tavrel::Process::ServiceCheck {

struct CheckOptions {
    std::string service{};           // program name searched for; names the status line
    std::string user{};              // expected owner (account name or uid); any when empty
    std::string command_line_regex{};  // Perl-compatible, unanchored; wins over the name
    std::string program_name{};      // searched for instead of `service` when given
};

// The label of the process-table method in a status line.
inline std::string PROCESS_TABLE_METHOD = "process table";

// The one status line layout every check uses:
//   "<service> (<command>) is running as <user> with PID <pid> (<method> check)"
std::string format_status_line(std::string_view service, std::string_view command,
                               std::string_view user, pid_t pid, std::string_view method);
// A service known to run without a process to show: "<service> is running (<method> check)".
std::string format_running_line(std::string_view service, std::string_view method);

// The status line of the service's main process, or "" when none runs. Never
// throws for an ordinary condition; an invalid command_line_regex is a
// programming fault (std::invalid_argument).
std::string check_service(const CheckOptions& options);

}  // namespace Tavrel::Process::ServiceCheck
