#include "Tavrel/Server/Panel/Analytics.h"

#include <sys/stat.h>

namespace Tavrel::Analytics::Enabled {

bool is_enabled() {
    struct stat st;
    return ::lstat(DISABLE_FILE.c_str(), &st) != 0;
}

}  // namespace Tavrel::Analytics::Enabled
