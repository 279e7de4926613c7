// Tavrel::Cli::Help: the usage text of a run, shown for --help.
//
//   return Tavrel::Cli::Help::usage(out, "crond");   // shows it, returns 0
#pragma once

#include "Tavrel/Output/Base.h"

#include <string>

namespace Tavrel::Cli::Help {

// The usage text for `service` (a placeholder word when empty).
std::string text(const std::string& service);
// Shows text(service) through the run's output object (one record under
// --json, the text itself otherwise); returns the exit status, 0.
int usage(Output::Base& out, const std::string& service);

}  // namespace Tavrel::Cli::Help
