// Tavrel::Process::ServiceCheck::IgnoredCommands: commands that mention a service but are never
// one of its processes (start/stop scripts, log viewers, tools acting on the
// service), so that a check never mistakes them for the running service.
//
//   if (Tavrel::Process::ServiceCheck::IgnoredCommands::should_ignore_this_command(cmdline)) ...;
#pragma once

#include <string_view>

namespace Tavrel::Process::ServiceCheck::IgnoredCommands {

bool should_ignore_this_command(std::string_view command);

}  // namespace Tavrel::Process::ServiceCheck::IgnoredCommands
