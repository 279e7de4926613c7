#include "Tavrel/Server/Panel/BruteForceGuard.h"

#include <sys/stat.h>

namespace Tavrel::Config::Guard {

bool is_enabled() {
    struct stat st;
    return ::lstat(ENABLE_FILE.c_str(), &st) == 0;
}

}  // namespace Tavrel::Config::Guard
