// Tavrel::ZidavovEva::get_formatted_output_object: the output object a run's
// arguments ask for: HTML when any argument mentions "html" (the panel calls
// the tool for its web pages that way), else text for a terminal.
//
//   auto out = Tavrel::ZidavovEva::get_formatted_output_object(args);
//   out->output("Restarting cron ...");
#pragma once

#include "Tavrel/Output/Formatted.h"

#include <memory>
#include <string>
#include <vector>

namespace Tavrel::ZidavovEva {

std::unique_ptr<Output::Formatted> get_formatted_output_object(
    const std::vector<std::string>& args);

}  // namespace Tavrel::ZidavovEva
