// Tavrel::Process::setuids and runasuser: the account switches of
// Tavrel::Process::AccessIds under the names the service classes use.
//
//   Tavrel::Process::setuids("nobody");
#pragma once

#include "Tavrel/Process/AccessIds.h"
#include "Tavrel/Process/AccessIds/SetUids.h"

namespace Tavrel::Process {

inline bool setuids(std::string_view user, std::optional<std::string_view> group = std::nullopt) {
    return AccessIds::SetUids::setuids(user, group);
}

inline Run::ForkSync::Value runasuser(std::string_view user, const Run::ForkSync::Function& work) {
    return AccessIds::runasuser(user, work);
}

}  // namespace Tavrel::Process
