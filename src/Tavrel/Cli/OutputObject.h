// Tavrel::Cli::output_object_for: the one decision of what a run's
// output looks like, taken from its parsed options (Parseargv.h): one JSON
// record per message with --json, which wins over HTML (programs that drive
// the tool read records); an HTML fragment with --html or the bare word html
// (the panel calls the tool for its web pages that way); else text for a
// terminal. The object made is also the run's reader of the lines that code
// below the output layer sends (Tavrel/Output/Console.h): the logger's
// echoes and the progress of ending processes go through it, so standard
// output holds nothing it did not write.
//
//   srv.set_output_obj(Tavrel::Cli::output_object_for(parse_options(args)));
#pragma once

#include "Tavrel/Output/Base.h"

#include <memory>

namespace Tavrel::Cli {

struct ParsedArgv;

std::shared_ptr<Output::Base> output_object_for(const ParsedArgv& parsed);

}  // namespace Tavrel::Cli
