// Tavrel::ZidavovEva::doomedprocess: ends the leftover processes of a service
// named by its rules (program names), sparing this process and every one of
// its ancestors, so that a run never ends the shell, script or init that
// started it even when they carry the service's name.
//
//   bool gone = Tavrel::ZidavovEva::doomedprocess({"exim"}, verbose, 5, {"mailnull"});
//
// True when matching processes were found and are gone (Tavrel::Kill::safekill:
// TERM, `wait_time` seconds of grace, then KILL); false when none matched or
// some survived. Owners are account names or uids; any owner when empty.
#pragma once

#include <string>
#include <vector>

namespace Tavrel::ZidavovEva {

bool doomedprocess(const std::vector<std::string>& rules, bool verbose, double wait_time = 0,
                   const std::vector<std::string>& allowed_owners = {});

}  // namespace Tavrel::ZidavovEva
