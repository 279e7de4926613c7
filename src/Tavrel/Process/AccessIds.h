// Tavrel::AccessIds: run a piece of work as another account, leaving this
// process as it is.
//
//   auto v = Tavrel::AccessIds::runasuser("nobody", [] { return Value(read_user_file()); });
//
// The work runs in a forked child that first switches to the account for good
// (Tavrel::AccessIds::SetUids::setuids: supplementary groups dropped, then the
// group, then the user ids); its return value comes back through
// Tavrel::ForkSync. A child that could not switch never runs the work.
#pragma once

#include "Tavrel/Run/ForkSync.h"

#include <optional>
#include <string_view>

namespace Tavrel::AccessIds {

// The work's value; Tavrel::PlainError with the child's error text when the
// switch or the work failed.
ForkSync::Value runasuser(std::string_view user, const ForkSync::Function& work);

}  // namespace Tavrel::AccessIds
