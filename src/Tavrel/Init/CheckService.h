// Tavrel::Init::check_service: the one-line "running" status text of
// a service, from its systemd unit, its pid file or a known pid, confirmed
// through /proc. An empty text means the service is not running. It never
// throws for a missing or foreign process.
//
//   CheckServiceOptions o;
//   o.service = "crond"; o.user = "root"; o.pidfile = "/run/crond.pid";
//   std::string status = Tavrel::Init::check_service(o);
//
// Order: systemd (unless ignore_systemd or a pid is given), else the pid file,
// whose process counts only when Tavrel::Process::PidFile::Judge confirms it as the
// service's (program or owner, not younger than the file), then the pid is
// confirmed through /proc (a zombie or a missing process is not
// running; a command that merely mentions the service is passed on, unless
// the process runs the service's own binary), then
// through Tavrel::Process::Check::Running when service and user are both given
// (for a pid that did not come from the pid file),
// and last the process table (Tavrel::Process::ServiceCheck::check_service);
// for a service with a pid file, there only processes titled as its program
// count (a cron job or an SSH session is not the daemon).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Init {

struct CheckServiceOptions {
    std::string service{};       // service or unit name; also the command-line pattern
    std::string user{};          // expected owner of the process
    std::string pidfile{};
    std::optional<pid_t> pid{};  // a known pid: skips systemd and the pid file
    std::string check_method{};  // how pid was found; part of the status text
    bool ignore_systemd = false;
    std::string command_line_regex{};  // passed on to the generic process-table check
    // The service's program. A process the pid file (or `pid`) names that
    // runs this very program is the service, even when its command line reads
    // like one of the commands that merely mention a service (a daemon whose
    // name holds "zidavoveva", "start" or "stop").
    std::string binary{};
    // A pattern the executable of the pid file's process must match (the
    // service's pid_exe); "" when any program may run it.
    std::string program{};
    // The service's systemd unit, when it has one: the process table's
    // answer leaves out what another unit runs (see ServiceCheck).
    std::string unit{};
};

// Labels of the method that found the pid, as they appear in the status line
// ("... with PID 42 (pidfile+proc check)").
inline std::string SYSTEMD_METHOD = "systemd";
inline std::string PIDFILE_METHOD = "pidfile";
inline std::string PROC_METHOD = "proc";
inline std::string PROC_SUFFIX = "+proc";
inline std::string VALIDATOR_METHOD = "validator";
inline std::string VALIDATOR_SUFFIX = "+validator";
// A unit of this Type counts as running whenever it is active (it may have no
// process at all); one of the other Type reports no main pid, so its process
// is taken from its control group.
inline std::string RUNNING_WHEN_ACTIVE_TYPE = "oneshot";
inline std::string PID_FROM_CGROUP_TYPE = "forking";
inline std::string ACTIVE_STATE = "active";

std::string check_service(const CheckServiceOptions& options);
// Whether process `pid` runs the program file `binary` (both resolved; a
// program replaced on disk still counts).
bool process_runs_binary(pid_t pid, const std::string& binary);

// The processes the last step (the process table) counts as the service's,
// whatever the steps before it found: what a stop must end, or else name,
// for the check to find the service stopped.
std::vector<pid_t> process_table_pids(const CheckServiceOptions& options);

}  // namespace Tavrel::Init
