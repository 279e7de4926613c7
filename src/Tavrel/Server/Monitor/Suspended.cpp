#include "Tavrel/Server/Monitor/Suspended.h"

#include <sys/stat.h>

namespace Tavrel::Server::Monitor::Suspended {

bool is_suspended() {
    struct stat st;
    return ::stat(SUSPEND_FILE.c_str(), &st) == 0;
}

}  // namespace Tavrel::Server::Monitor::Suspended
