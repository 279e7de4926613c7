#include "Tavrel/Rlimit/Unset.h"

#include "Tavrel/Debug.h"
#include "Tavrel/Rlimit.h"
#include "Tavrel/Sys/Rlimit.h"

#include <algorithm>

namespace Tavrel::Rlimit::Unset {

namespace {

namespace Sys = Tavrel::Sys::Rlimit;

void try_set(std::string& errors, const std::string& name, std::uint64_t soft, std::uint64_t hard) {
    try {
        Sys::setrlimit(name, soft, hard);
    } catch (const std::exception& e) {
        errors += "could not set " + name + " to " + limit_text(soft) + "/" + limit_text(hard) +
                  ": " + e.what() + "\n";
    }
}

}  // namespace

bool unset_rlimits() {
    bool ok = set_rlimit();
    std::string errors;
    for (const auto& name : UNLIMITED_RESOURCES) {
        try_set(errors, name, Sys::RLIM_INFINITY, Sys::RLIM_INFINITY);
    }
    try {
        auto [soft, hard] = Sys::getrlimit("NOFILE");
        std::uint64_t new_hard = std::max(hard, NOFILE_MIN_HARD);
        std::uint64_t new_soft = std::min(std::max(soft, NOFILE_MIN_SOFT), new_hard);
        if (new_soft != soft || new_hard != hard)
            try_set(errors, "NOFILE", new_soft, new_hard);
    } catch (const std::exception& e) {
        errors += std::string("could not read NOFILE: ") + e.what() + "\n";
    }
    if (errors.empty())
        return ok;
    errors.pop_back();
    Debug::log_warn(errors);
    return false;
}

}  // namespace Tavrel::Rlimit::Unset
