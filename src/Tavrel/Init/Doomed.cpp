#include "Tavrel/Init/Doomed.h"

#include "Tavrel/Process/Kill.h"
#include "Tavrel/Process/Proc/Cgroup.h"
#include "Tavrel/Process/Proc/Lineage.h"
#include "Tavrel/Foundation/ProcFs.h"
#include "Tavrel/Process/PsParser.h"

#include <sys/stat.h>

namespace Tavrel::Init {

bool doomedprocess(const std::vector<std::string>& rules, bool verbose, double wait_time,
                   const std::vector<std::string>& allowed_owners, const std::string& own_unit) {
    if (rules.empty())
        return false;
    const Process::PsParser::Deadcmd deadcmd(rules);
    // The owner rule of the name search, asked here so that the service's
    // own unit can take a process of any account.
    const auto owners = Process::PsParser::NameMatcher::create(deadcmd, allowed_owners);
    if (!owners)
        return false;
    auto is_the_services = [&](pid_t pid) {
        const std::string unit = Process::Proc::Cgroup::service_unit_of(pid);
        if (!own_unit.empty() && unit == own_unit)
            return true;
        if (Process::Proc::Cgroup::belongs_to_another_unit(pid, own_unit))
            return false;
        struct stat st {};
        const std::string dir = Foundation::ProcFs::PROC_PATH + "/" + std::to_string(pid);
        return ::stat(dir.c_str(), &st) == 0 && owners->owner_allowed(st.st_uid);
    };
    return Process::Kill::safekill_if(deadcmd, is_the_services, verbose, wait_time,
                             Process::Proc::Lineage::pids()) == 1;
}

}  // namespace Tavrel::Init
