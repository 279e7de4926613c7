#include "Tavrel/Process/Rlimit/Unset.h"

#include "Tavrel/Foundation/Debug.h"
#include "Tavrel/Process/Rlimit.h"
#include "Tavrel/Process/Rlimit/Syscall.h"

#include <algorithm>

namespace Tavrel::Process::Rlimit::Unset {

namespace {

namespace Sys = Syscall;

// Sets (soft, hard); when the process may not raise the hard limit (no
// CAP_SYS_RESOURCE, as in many containers), raises the soft limit as far as
// the current hard limit allows instead. Failures are noted in `errors`.
void raise_to(std::string& errors, const std::string& name, std::uint64_t soft,
              std::uint64_t hard) {
    try {
        Sys::setrlimit(name, soft, hard);
        return;
    } catch (const std::exception& e) {
        Foundation::Debug::log_debug("Could not set " + name + " to " + limit_text(soft) + "/" +
                         limit_text(hard) + ": " + e.what());
    }
    try {
        auto [cur_soft, cur_hard] = Sys::getrlimit(name);
        std::uint64_t best = std::min(soft, cur_hard);
        if (best > cur_soft)
            Sys::setrlimit(name, best, cur_hard);
    } catch (const std::exception& e) {
        errors += "could not raise " + name + ": " + e.what() + "\n";
    }
}

}  // namespace

bool unset_rlimits() {
    bool ok = set_rlimit();
    std::string errors;
    for (const auto& name : UNLIMITED_RESOURCES) {
        raise_to(errors, name, Sys::INFINITE_LIMIT, Sys::INFINITE_LIMIT);
    }
    try {
        auto [soft, hard] = Sys::getrlimit("NOFILE");
        std::uint64_t new_hard = std::max(hard, NOFILE_MIN_HARD);
        std::uint64_t new_soft = std::min(std::max(soft, NOFILE_MIN_SOFT), new_hard);
        if (new_soft != soft || new_hard != hard)
            raise_to(errors, "NOFILE", new_soft, new_hard);
    } catch (const std::exception& e) {
        errors += std::string("could not read NOFILE: ") + e.what() + "\n";
    }
    if (errors.empty())
        return ok;
    errors.pop_back();
    Foundation::Debug::log_warn(errors);
    return false;
}

}  // namespace Tavrel::Process::Rlimit::Unset
