// Tavrel::ZidavovEva::setuids and runasuser: the account switches of
// Tavrel::AccessIds under the names the service classes use.
//
//   Tavrel::ZidavovEva::setuids("nobody");
#pragma once

#include "Tavrel/Process/AccessIds.h"
#include "Tavrel/Process/AccessIds/SetUids.h"

namespace Tavrel::ZidavovEva {

inline bool setuids(std::string_view user, std::optional<std::string_view> group = std::nullopt) {
    return AccessIds::SetUids::setuids(user, group);
}

inline ForkSync::Value runasuser(std::string_view user, const ForkSync::Function& work) {
    return AccessIds::runasuser(user, work);
}

}  // namespace Tavrel::ZidavovEva
