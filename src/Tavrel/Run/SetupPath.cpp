#include "Tavrel/Run/SetupPath.h"

#include <sys/stat.h>

#include <cstdlib>

namespace Tavrel::Run {

std::string setuppath() {
    std::string path;
    for (const auto& dir : SEARCH_PATH_DIRS) {
        struct stat st {};
        if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            continue;
        if (!path.empty())
            path += ':';
        path += dir;
    }
    ::setenv("PATH", path.c_str(), 1);
    return path;
}

}  // namespace Tavrel::Run
