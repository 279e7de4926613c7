#include "Tavrel/Process/Proc/Bin.h"

#include "Tavrel/Foundation/ProcFs.h"

#include <fcntl.h>

#include <cctype>

namespace Tavrel::Process::Proc::Bin {

std::string getbin(pid_t pid) {
    if (pid <= 0)
        return {};
    std::string tail = "/" + std::to_string(pid) + "/exe";
    auto target = Foundation::ProcFs::link_at(AT_FDCWD, (Foundation::ProcFs::PROC_PATH + tail).c_str());
    if (!target)
        target = Foundation::ProcFs::link_at(AT_FDCWD, (SECOND_PROC_PATH + tail).c_str());
    if (!target)
        return {};
    for (size_t i = 0; i < target->size(); ++i)
        if (std::isspace(static_cast<unsigned char>((*target)[i])))
            return target->substr(0, i);
    return *target;
}

}  // namespace Tavrel::Process::Proc::Bin
