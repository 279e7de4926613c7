// Tavrel::Run::setuppath: the executable search path of a run. Of the
// fixed system program directories, those that exist, in their fixed order,
// joined with colons, become PATH (an empty PATH when none exists), so nothing
// a caller exported decides which program a child finds.
//
//   Tavrel::Run::setuppath();   // PATH=/usr/local/sbin:...:/bin
#pragma once

#include <string>
#include <vector>

namespace Tavrel::Run {

inline std::vector<std::string> SEARCH_PATH_DIRS = {"/usr/local/sbin", "/usr/local/bin",
                                                    "/usr/sbin",       "/usr/bin",
                                                    "/sbin",           "/bin"};

// Sets PATH and returns it.
std::string setuppath();

}  // namespace Tavrel::Run
