// Tavrel::Run::SafeRun::Simple: runs a command given as a list (program first, then
// each argument as its own element, never through a shell) and returns its
// standard output as one text. The exit status is left as the last child
// status (Tavrel::Run::SafeRun::last_child_status()): the wait status, or -1 when
// the program could not be started (not an executable file, no pipe, no
// child).
//
//   std::string ver = Tavrel::Run::SafeRun::Simple::saferun({"/usr/sbin/exim", "-bV"});
//   std::string all = Tavrel::Run::SafeRun::Simple::saferunallerrors({"/bin/ls", "/x"});
//
// Standard error, by policy: inherited (saferun), joined to the output
// (MERGE_STDERR), discarded (NULL_STDERR), or alone captured while the
// output is discarded (NULL_STDOUT). Standard input is inherited. The
// child gets the parent's environment minus REMOVED_ENV_VARS.
//
// A single-element list containing a character of SINGLE_ELEMENT_FORBIDDEN
// (a whole command line squeezed into one text) is a programming error.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Run::SafeRun::Simple {

inline constexpr int INHERIT_STDERR = 0;
inline constexpr int MERGE_STDERR = 1;
inline constexpr int NULL_STDERR = 2;
inline constexpr int NULL_STDOUT = 3;

// Removed from the child's environment: variables that make the dynamic
// loader or a shell load code the caller chose.
inline std::vector<std::string> REMOVED_ENV_VARS = {"LD_PRELOAD", "LD_LIBRARY_PATH", "BASH_ENV",
                                                    "ENV"};
inline constexpr std::string_view SINGLE_ELEMENT_FORBIDDEN = " \t\n";

std::string saferun(const std::vector<std::string>& command);
std::shared_ptr<std::string> saferun_r(const std::vector<std::string>& command,
                                       int error_flag = INHERIT_STDERR);
std::string saferunallerrors(const std::vector<std::string>& command);
std::string saferunnoerror(const std::vector<std::string>& command);
std::string saferunonlyerrors(const std::vector<std::string>& command);

}  // namespace Tavrel::Run::SafeRun::Simple
