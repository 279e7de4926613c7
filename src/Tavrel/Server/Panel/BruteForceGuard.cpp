#include "Tavrel/Server/Panel/BruteForceGuard.h"

#include <sys/stat.h>

namespace Tavrel::Server::Panel::BruteForceGuard {

bool is_enabled() {
    struct stat st;
    return ::lstat(ENABLE_FILE.c_str(), &st) == 0;
}

}  // namespace Tavrel::Server::Panel::BruteForceGuard
