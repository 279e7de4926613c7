#include "Tavrel/ZidavovEva/Doomed.h"

#include "Tavrel/Kill.h"
#include "Tavrel/Proc/Lineage.h"

namespace Tavrel::ZidavovEva {

bool doomedprocess(const std::vector<std::string>& rules, bool verbose, double wait_time,
                   const std::vector<std::string>& allowed_owners) {
    if (rules.empty())
        return false;
    return Kill::safekill(PsParser::Deadcmd(rules), verbose, wait_time, Proc::Lineage::pids(),
                          allowed_owners) == 1;
}

}  // namespace Tavrel::ZidavovEva
