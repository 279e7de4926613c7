#include "Tavrel/Process/Proc/Lineage.h"

#include "Tavrel/Foundation/ProcFs.h"
#include "Tavrel/Process/PsParser/Parse.h"

#include <unistd.h>

#include <algorithm>

namespace Tavrel::Process::Proc::Lineage {

std::vector<pid_t> pids(pid_t from) {
    pid_t pid = from > 0 ? from : ::getpid();
    std::vector<pid_t> out;
    while (pid > 0 && std::find(out.begin(), out.end(), pid) == out.end()) {
        out.push_back(pid);
        pid_t parent = pid == ::getpid() ? ::getppid() : 0;
        if (parent == 0) {
            auto st = PsParser::Parse::stat(
                Foundation::ProcFs::path(Foundation::ProcFs::PROC_PATH + "/" + std::to_string(pid) + "/stat")
                    .value_or(std::string()));
            if (!st)
                break;
            parent = st->ppid();
        }
        pid = parent;
    }
    return out;
}

}  // namespace Tavrel::Process::Proc::Lineage
