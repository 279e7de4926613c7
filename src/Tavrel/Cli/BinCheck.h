// Tavrel::Cli::BinCheck: the executable's self-test switches, checked first thing
// at start-up so an installer can tell that the program runs at all.
//
//   --bincheck   prints "BinCheck ok" and exits 0
//   --basemem    prints the process's resident memory (kB, from the status
//                file) and exits 0
// Any other first argument: nothing happens.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace Tavrel::Cli::BinCheck {

inline constexpr std::string_view BINCHECK_SWITCH = "--bincheck";
inline constexpr std::string_view BASEMEM_SWITCH = "--basemem";
inline constexpr std::string_view BINCHECK_TEXT = "BinCheck ok";
// The process's status file under Tavrel::Foundation::ProcFs::PROC_PATH, and its line of
// the resident memory.
inline std::string STATUS_FILE = "self/status";
inline std::string MEMORY_FIELD = "VmRSS";

// The exit status to end with when `argument` was a switch (after printing to
// `out`), nothing otherwise.
std::optional<int> handle(std::string_view argument, std::ostream& out);
// handle() on standard output, exiting when a switch was given.
void process(const char* argument);

// The number on the MEMORY_FIELD line of the status file; nothing when absent.
std::optional<std::string> basemem();

}  // namespace Tavrel::Cli::BinCheck
