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
//
// With `skip_retitled`, a process whose title names something else than the
// program it runs is passed over: a daemon hands its work to processes that
// run its program under a title of their own ("CRON" for cron's jobs,
// "sshd: alice [priv]" for an SSH session), and those outlive the daemon; a
// process of another program than `binary` (when given) is not the daemon
// either, whatever its title (the SSH client beside the SSH server).
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Process::ServiceCheck {

struct CheckOptions {
    std::string service{};           // program name searched for; names the status line
    std::string user{};              // expected owner (account name or uid); any when empty
    std::string command_line_regex{};  // Perl-compatible, unanchored; wins over the name
    std::string program_name{};      // searched for instead of `service` when given
    // Counts only processes titled as the program they run (see above); the
    // service's program, whose name is also a title of its own.
    bool skip_retitled = false;
    std::string binary{};
    // With skip_retitled: the service's pid file. A process of the program
    // told to write another pid file is another instance of it (a mail
    // server's second listener on its alternate port), not the service.
    std::string pidfile{};
    // The service's systemd unit ("cron.service"), when it has one: a
    // process in another unit's control group is that unit's, whatever
    // program it runs (a second unit started from the same program).
    std::string unit{};
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

// Every process the check counts as the service's, in process-table order.
std::vector<pid_t> find_pids(const CheckOptions& options);

// Whether a process titled `title` (its command line's first word) that runs
// the executable `exe` ("" when unknown) presents itself as the program:
// the title's last part is the service's word, the executable's name or the
// program's name, or the title is a path that leads to the executable.
bool titled_as_program(std::string_view title, const std::string& exe, const CheckOptions& options);

}  // namespace Tavrel::Process::ServiceCheck
