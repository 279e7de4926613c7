// Tavrel::Process::IONice: the I/O scheduling class of the calling process, through the
// system's ionice program (run by the command runner, never a shell).
//
//   Tavrel::Process::IONice::reset();               // back to no class before a start
//   Tavrel::Process::IONice::ionice("idle", "7");   // true: done, false: ionice failed
//
// Answers: true when the program succeeded, false when it failed, nothing when
// the arguments are invalid (a warning is logged) or the program is missing.
// Without root the class cannot be chosen, so only the level is passed.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace Tavrel::Process::IONice {

// Class names of ionice: keep 0, real time 1, best-effort 2, idle 3.
std::optional<int> class_number(std::string_view name_or_digit);

// The program to run; nothing means the system's ionice.
inline std::optional<std::string> IONICE_PATH;
// Seconds an ionice call may take.
inline double IONICE_TIMEOUT = 30;

std::optional<bool> ionice(std::string_view io_class, std::string_view level);
// Back to no class; true at once, running nothing, when no class is set.
std::optional<bool> reset();
// The program's report of the current class ("idle", "best-effort: prio 7").
std::optional<std::string> get_ionice();

}  // namespace Tavrel::Process::IONice
