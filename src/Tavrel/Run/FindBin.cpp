#include "Tavrel/Run/FindBin.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Tavrel::Run::FindBin {

bool is_executable(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

std::optional<std::string> findbin(std::string_view name, const std::vector<std::string>& path) {
    if (name.empty() || name.find('/') != std::string_view::npos)
        return std::nullopt;
    for (const std::string& dir : path.empty() ? SEARCH_DIRS : path) {
        std::string candidate = dir + "/" + std::string(name);
        if (is_executable(candidate))
            return candidate;
    }
    return std::nullopt;
}

}  // namespace Tavrel::Run::FindBin
