// Tavrel::Process::AccessIds: run a piece of work as another account, leaving this
// process as it is.
//
//   auto v = Tavrel::Process::AccessIds::runasuser("nobody", [] { return Value(read_user_file()); });
//
// The work runs in a forked child that first switches to the account for good
// (Tavrel::Process::AccessIds::SetUids::setuids: supplementary groups dropped, then the
// group, then the user ids); its return value comes back through
// Tavrel::Run::ForkSync. A child that could not switch never runs the work.
#pragma once

#include "Tavrel/Run/ForkSync.h"

#include <optional>
#include <string_view>

namespace Tavrel::Process::AccessIds {

// The work's value; Tavrel::Foundation::PlainError with the child's error text when the
// switch or the work failed.
Run::ForkSync::Value runasuser(std::string_view user, const Run::ForkSync::Function& work);

}  // namespace Tavrel::Process::AccessIds
