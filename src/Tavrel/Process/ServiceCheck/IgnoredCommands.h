// Tavrel::Services::Command: commands that mention a service but are never
// one of its processes (start/stop scripts, log viewers, tools acting on the
// service), so that a check never mistakes them for the running service.
//
//   if (Tavrel::Services::Command::should_ignore_this_command(cmdline)) ...;
#pragma once

#include <string_view>

namespace Tavrel::Services::Command {

bool should_ignore_this_command(std::string_view command);

}  // namespace Tavrel::Services::Command
