// Tavrel::Process::Proc::Cgroup: the systemd service unit a process belongs to, read
// from its control group, so that a clean-up of one service can leave alone
// what another running unit started.
//
//   std::string unit = Tavrel::Process::Proc::Cgroup::service_unit_of(pid);  // "cron.service" or ""
//   if (Tavrel::Process::Proc::Cgroup::belongs_to_another_unit(pid, "named.service")) spare(pid);
//
// A process outside every service unit (a login session's scope, a host
// without systemd, a process gone meanwhile) has no unit: "".
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Process::Proc::Cgroup {

// The innermost "<name>.service" of the control-group path in the text of
// /proc/<pid>/cgroup: the unified hierarchy's line ("0::/..."), else the
// line of systemd's own named hierarchy; "" when neither names a service.
std::string service_unit(std::string_view cgroup_text);
// The same for a running process; "" when it cannot be read.
std::string service_unit_of(pid_t pid);

// Where control groups are mounted, in the order they are tried: systemd's
// own named hierarchy (a hybrid or legacy layout), else the unified one.
inline std::vector<std::string> CONTROL_GROUP_TREES = {"/sys/fs/cgroup/systemd", "/sys/fs/cgroup"};

// Every process in the control group at `path` ("/system.slice/cron.service",
// as systemd names it) and the groups below it: its own first, then each
// subgroup's. Nothing for an empty path or a group that is not there.
std::vector<pid_t> processes_in(std::string_view path);

// True when the process belongs to a service unit that is neither `own_unit`
// nor the unit of this run itself: a daemon this tool launched shares the
// run's unit (the monitor's, or a test host's), and is not another's.
bool belongs_to_another_unit(pid_t pid, std::string_view own_unit);

}  // namespace Tavrel::Process::Proc::Cgroup
