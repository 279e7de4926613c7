// Tavrel::Cli::Help: the usage text of a run, shown for --help.
//
//   return Tavrel::Cli::Help::usage("crond");   // prints, returns 0
#pragma once

#include <string>

namespace Tavrel::Cli::Help {

// The usage text for `service` (a placeholder word when empty).
std::string text(const std::string& service);
// Prints text(service) on standard output; returns the exit status, 0.
int usage(const std::string& service);

}  // namespace Tavrel::Cli::Help
