#include "Tavrel/Server/Panel/Analytics.h"

#include <sys/stat.h>

namespace Tavrel::Server::Panel::Analytics {

bool is_enabled() {
    struct stat st;
    return ::lstat(DISABLE_FILE.c_str(), &st) != 0;
}

}  // namespace Tavrel::Server::Panel::Analytics
