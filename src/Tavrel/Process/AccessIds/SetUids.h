// Tavrel::Process::AccessIds::SetUids: switch this process to another account for good.
//
//   Tavrel::Process::AccessIds::SetUids::setuids("nobody");          // account's own group
//   Tavrel::Process::AccessIds::SetUids::setuids("mail", "mail");    // named group
//
// The order is what makes the switch complete: the supplementary groups go
// first (setgroups, leaving only the target group), then the group ids, then
// the user ids (real, effective and saved, so root cannot be regained). Each
// step is checked; a step that fails is System::CallFailed ("name": the call,
// "error": the system's text) and the caller must not go on as if switched.
// An unknown account or group is Param::Invalid. Switching to the ids the
// process already has, with no other groups, changes nothing and succeeds
// without privilege.
#pragma once

#include <optional>
#include <string_view>

namespace Tavrel::Process::AccessIds::SetUids {

// `user` and `group` are names or numeric ids; the group defaults to the
// account's primary group. True once switched.
bool setuids(std::string_view user, std::optional<std::string_view> group = std::nullopt);

}  // namespace Tavrel::Process::AccessIds::SetUids
