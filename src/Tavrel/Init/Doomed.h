// Tavrel::Init::doomedprocess: ends the leftover processes of a service
// named by its rules (program names), sparing this process and every one of
// its ancestors, so that a run never ends the shell, script or init that
// started it even when they carry the service's name.
//
//   bool gone = Tavrel::Init::doomedprocess({"exim"}, verbose, 5, {"mailnull"});
//
// True when matching processes were found and are gone (Tavrel::Process::Kill::safekill:
// TERM, `wait_time` seconds of grace, then KILL); false when none matched or
// some survived.
//
// A name matches every account's copies of a program (php-fpm: every site
// owner's pool workers, and every other master), so a process counts as the
// service's only when it is in the service's own systemd unit (`own_unit`,
// "php8.2-fpm.service"; "" when it has none), or when it runs as one of the
// owners (account names or uids; any owner when empty) and belongs to no
// other service unit (Tavrel::Process::Proc::Cgroup::belongs_to_another_unit).
#pragma once

#include <string>
#include <vector>

namespace Tavrel::Init {

bool doomedprocess(const std::vector<std::string>& rules, bool verbose, double wait_time = 0,
                   const std::vector<std::string>& allowed_owners = {},
                   const std::string& own_unit = {});

}  // namespace Tavrel::Init
