#include "Tavrel/Server/Panel/GreyList.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace Tavrel::Server::Panel::GreyList {

bool is_enabled() {
    struct stat st;
    return ::lstat(ENABLE_FILE.c_str(), &st) == 0;
}

bool disable() {
    return ::unlink(ENABLE_FILE.c_str()) == 0 || errno == ENOENT;
}

}  // namespace Tavrel::Server::Panel::GreyList
