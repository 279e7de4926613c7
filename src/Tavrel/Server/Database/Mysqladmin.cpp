#include "Tavrel/Server/Database/Mysqladmin.h"

#include <sys/stat.h>

namespace Tavrel::Server::Database {

std::optional<std::string> find_mysqladmin() {
    for (const auto& dir : MYSQLADMIN_DIRS) {
        std::string path = dir + "/" + MYSQLADMIN_NAME;
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0)
            return path;
    }
    return std::nullopt;
}

}  // namespace Tavrel::Server::Database
