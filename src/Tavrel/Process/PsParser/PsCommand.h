// Tavrel::Process::PsParser::PsCommand: the process table from the system `ps`, for
// machines where procfs cannot be read. Same options and records as the
// procfs reader; the caller has already checked the option combination.
#pragma once

#include "Tavrel/Process/PsParser.h"

#include <string_view>
#include <vector>

namespace Tavrel::Process::PsParser::PsCommand {

// Seconds the `ps` run may take.
inline double PS_TIMEOUT = 60;

std::vector<Record> list(const Options& options);
// Parses the output of the `ps` run of list() (exposed for tests).
std::vector<Record> parse_output(std::string_view text, const Options& options);

}  // namespace Tavrel::Process::PsParser::PsCommand
